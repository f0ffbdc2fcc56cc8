#pragma once

// The application's own identity as the support report, the feedback mail,
// the setup assistant and the update check name it. The platform word is the
// key of this host's entry in the update manifest and what reports call it.

namespace lumenrail::ProductIdentity {

inline constexpr const char* kProduct = "Lumenrail";
inline constexpr const char* kVersion = LUMENRAIL_VERSION;  // the build's project version
inline constexpr const char* kBuild = "1";
inline constexpr const char* kPlatform = "linux";
inline constexpr const char* kSupportAddress = "support@quillmark.example";

}  // namespace lumenrail::ProductIdentity
