#pragma once

// The application's own identity as the support report, the feedback mail,
// the setup assistant and the update check name it. The platform word is the
// key of this host's entry in the update manifest and what reports call it.

namespace lumenrail::ProductIdentity {

inline constexpr const char* kProduct = "Lumenrail";
inline constexpr const char* kVersion = LUMENRAIL_VERSION;  // the build's project version
inline constexpr const char* kBuild = "1";
inline constexpr const char* kPlatform = "linux";
// It links libx264 and libx265 (GPL-2.0-or-later); the LICENSE file holds the text.
inline constexpr const char* kLicense = "GPL-3.0-or-later";
inline constexpr const char* kSupportAddress = "support@quillmark.example";

}  // namespace lumenrail::ProductIdentity
