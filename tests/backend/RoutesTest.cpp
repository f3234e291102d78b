#include "backend/service/Routes.h"

#include <gtest/gtest.h>

namespace kesto::backend {
namespace {

const std::string kId = "0123456789abcdef0123456789abcdef";

TEST(Routes, MatchesEveryRouteWithItsMethod) {
  EXPECT_EQ(match_route("GET", "/api/health").kind, RouteKind::Health);
  EXPECT_EQ(match_route("POST", "/api/beacon").kind, RouteKind::Beacon);
  EXPECT_EQ(match_route("POST", "/api/matte/sessions").kind, RouteKind::CreateSession);
  Route status = match_route("GET", "/api/matte/sessions/" + kId);
  EXPECT_EQ(status.kind, RouteKind::SessionStatus);
  EXPECT_EQ(status.session_id, kId);
  EXPECT_EQ(match_route("DELETE", "/api/matte/sessions/" + kId).kind, RouteKind::DeleteSession);
  Route upload = match_route("PUT", "/api/matte/sessions/" + kId + "/frames/17");
  EXPECT_EQ(upload.kind, RouteKind::UploadFrame);
  EXPECT_EQ(upload.session_id, kId);
  EXPECT_EQ(upload.frame_index, "17");
  EXPECT_EQ(match_route("POST", "/api/matte/sessions/" + kId + "/start").kind, RouteKind::StartJob);
  Route matte = match_route("GET", "/api/matte/sessions/" + kId + "/alpha/3.png");
  EXPECT_EQ(matte.kind, RouteKind::DownloadMatte);
  EXPECT_EQ(matte.frame_index, "3");
}

TEST(Routes, WrongMethodNamesTheAllowedOnes) {
  Route r = match_route("GET", "/api/matte/sessions");
  EXPECT_EQ(r.kind, RouteKind::MethodNotAllowed);
  EXPECT_EQ(r.allow, "POST");
  EXPECT_EQ(match_route("PUT", "/api/matte/sessions/" + kId).allow, "GET, DELETE");
  EXPECT_EQ(match_route("POST", "/api/matte/sessions/" + kId + "/frames/0").allow, "PUT");
  EXPECT_EQ(match_route("GET", "/api/matte/sessions/" + kId + "/start").allow, "POST");
  EXPECT_EQ(match_route("PUT", "/api/matte/sessions/" + kId + "/alpha/0.png").allow, "GET");
  EXPECT_EQ(match_route("GET", "/api/beacon").allow, "POST");
  EXPECT_EQ(match_route("POST", "/api/health").allow, "GET");
  EXPECT_EQ(match_route("PATCH", "/api/health").kind, RouteKind::MethodNotAllowed);
}

TEST(Routes, UnknownPathsAreNotFound) {
  for (const char* path : {"/", "", "/api", "/api/", "/apix/health", "/api/matte", "/api/matte/session",
                           "/api/matte/sessions/x/y", "/api/matte/sessions/x/frames", "/api/matte/sessions/x/frames/1/2",
                           "/api/matte/sessions/x/alpha/1", "/api/matte/sessions/x/alpha/.png",
                           "/api/matte/sessions/x/alpha/1.jpg", "/other/api/health", "/api/health/more"}) {
    EXPECT_EQ(match_route("GET", path).kind, RouteKind::NotFound) << path;
    EXPECT_EQ(match_route("PUT", path).kind, RouteKind::NotFound) << path;
  }
}

TEST(Routes, EmptySegmentsFromATrailingSlashInTheBaseUrlAreIgnored) {
  EXPECT_EQ(match_route("POST", "//api/matte/sessions").kind, RouteKind::CreateSession);
  EXPECT_EQ(match_route("POST", "//api/beacon").kind, RouteKind::Beacon);
  EXPECT_EQ(match_route("GET", "/api/matte/sessions/" + kId + "/").kind, RouteKind::SessionStatus);
  // An empty session id collapses the path, which then names no route.
  EXPECT_EQ(match_route("PUT", "/api/matte/sessions//frames/0").kind, RouteKind::NotFound);
}

TEST(Routes, SegmentsAreTakenRawForLaterValidation) {
  Route r = match_route("PUT", "/api/matte/sessions/..%2F/frames/-1");
  EXPECT_EQ(r.kind, RouteKind::UploadFrame);
  EXPECT_EQ(r.session_id, "..%2F");
  EXPECT_EQ(r.frame_index, "-1");
}

TEST(Routes, RequestTargetsGiveTheirDecodedPath) {
  const struct {
    const char* target;
    std::optional<std::string> path;
  } cases[] = {
      {"/api/health", "/api/health"},
      {"/api/health?probe=1#top", "/api/health"},
      {"/api/matte/sessions/%2e%2E%2F", "/api/matte/sessions/../"},
      {"/a%00b", std::string("/a\0b", 4)},
      {"/a%2", std::nullopt},
      {"/a%zz", std::nullopt},
      {"http://host/api/health", std::nullopt},
      {"*", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(request_path(c.target), c.path) << c.target;
}

TEST(Routes, BodyLimitsPerRoute) {
  EXPECT_EQ(body_limit(RouteKind::UploadFrame, 5000), 5000u);
  EXPECT_EQ(body_limit(RouteKind::StartJob, 5000), 1024u * 1024u);
  EXPECT_EQ(body_limit(RouteKind::CreateSession, 5000), 1024u * 1024u);
  EXPECT_EQ(body_limit(RouteKind::Beacon, 5000), 1024u * 1024u);
  EXPECT_EQ(body_limit(RouteKind::SessionStatus, 5000), 0u);
  EXPECT_EQ(body_limit(RouteKind::DownloadMatte, 5000), 0u);
}

}  // namespace
}  // namespace kesto::backend
