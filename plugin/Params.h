#pragma once
// Script names of the effect's parameters: the keys by which every subsystem reaches them.
// The hidden ones carry state between the overlay, the job and the render, and are saved with the project.

namespace kesto::param {

inline constexpr const char *kBackendUrl = "backend_url";
inline constexpr const char *kOutputMode = "output_mode";
inline constexpr const char *kDrawMask = "draw_mask";
inline constexpr const char *kSelectTool = "select_tool";
inline constexpr const char *kBrushSize = "brush_size";
inline constexpr const char *kTextHint = "text_hint";
inline constexpr const char *kQuality = "quality";
inline constexpr const char *kEdgeSoftness = "edge_softness";
inline constexpr const char *kPullAlpha = "pull_alpha";
inline constexpr const char *kClearMask = "clear_mask";
inline constexpr const char *kResetMatte = "reset_matte";
inline constexpr const char *kStatus = "status";
inline constexpr const char *kBboxJson = "bbox_json";
inline constexpr const char *kBrushJson = "brush_json";
inline constexpr const char *kSessionId = "session_id";
inline constexpr const char *kClipStart = "clip_start";

// Placeholder base URL under the reserved ".invalid" domain: the beacon of a new instance never leaves the
// machine until the user pastes the real backend URL.
inline constexpr const char *kBackendUrlPlaceholder = "https://paste-your-backend-url.invalid";

}  // namespace kesto::param
