#pragma once
// The host lives in kesto::host (the project's namespace); trevane::host names the same thing.

namespace kesto::host {}
namespace trevane {
namespace host = ::kesto::host;
}
