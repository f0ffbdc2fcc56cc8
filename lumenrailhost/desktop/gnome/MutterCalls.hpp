#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/DBusValue.hpp"

namespace lumenrail {

class DBusConnection;

// One member of Mutter's D-Bus services that the GNOME adapters use, typed
// as Mutter's own interface descriptions type it (org.gnome.Mutter.*.xml
// beside this file, read from Mutter 43 by introspection). A test holds every
// entry of MutterCalls::kAll to those files, so a name or a type Mutter would
// refuse fails there and not on a user's desktop.
struct MutterMember {
  enum class Kind : uint8_t { method, signal, property };
  Kind kind;
  const char* interface;
  const char* name;
  // A method's arguments, a signal's arguments, a property's type.
  const char* type;
  // The reply the adapters read, by position; empty where they read none.
  const char* reply = "";
};

// The adapters name Mutter's members only through this table, and send a
// method only through call(), which holds the arguments to the table.
namespace MutterCalls {

inline constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
inline constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
inline constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
inline constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

using Kind = MutterMember::Kind;

inline constexpr MutterMember kCreateRemoteDesktop{Kind::method, kRemoteDesktop, "CreateSession", "", "o"};
inline constexpr MutterMember kStart{Kind::method, kRemoteDesktopSession, "Start", ""};
inline constexpr MutterMember kStop{Kind::method, kRemoteDesktopSession, "Stop", ""};
inline constexpr MutterMember kPointerMotionRelative{Kind::method, kRemoteDesktopSession,
                                                     "NotifyPointerMotionRelative", "dd"};
inline constexpr MutterMember kPointerMotionAbsolute{Kind::method, kRemoteDesktopSession,
                                                     "NotifyPointerMotionAbsolute", "sdd"};
inline constexpr MutterMember kPointerButton{Kind::method, kRemoteDesktopSession, "NotifyPointerButton", "ib"};
inline constexpr MutterMember kPointerAxis{Kind::method, kRemoteDesktopSession, "NotifyPointerAxis", "ddu"};
inline constexpr MutterMember kPointerAxisDiscrete{Kind::method, kRemoteDesktopSession, "NotifyPointerAxisDiscrete",
                                                   "ui"};
inline constexpr MutterMember kKeyboardKeycode{Kind::method, kRemoteDesktopSession, "NotifyKeyboardKeycode", "ub"};
inline constexpr MutterMember kTouchDown{Kind::method, kRemoteDesktopSession, "NotifyTouchDown", "sudd"};
inline constexpr MutterMember kTouchMotion{Kind::method, kRemoteDesktopSession, "NotifyTouchMotion", "sudd"};
inline constexpr MutterMember kTouchUp{Kind::method, kRemoteDesktopSession, "NotifyTouchUp", "u"};
inline constexpr MutterMember kSessionId{Kind::property, kRemoteDesktopSession, "SessionId", "s"};
inline constexpr MutterMember kRemoteDesktopClosed{Kind::signal, kRemoteDesktopSession, "Closed", ""};

inline constexpr MutterMember kCreateScreenCast{Kind::method, kScreenCast, "CreateSession", "a{sv}", "o"};
inline constexpr MutterMember kRecordVirtual{Kind::method, kScreenCastSession, "RecordVirtual", "a{sv}", "o"};
inline constexpr MutterMember kRecordMonitor{Kind::method, kScreenCastSession, "RecordMonitor", "sa{sv}", "o"};
inline constexpr MutterMember kScreenCastClosed{Kind::signal, kScreenCastSession, "Closed", ""};
inline constexpr MutterMember kPipeWireStreamAdded{Kind::signal, kScreenCastStream, "PipeWireStreamAdded", "u"};

inline constexpr MutterMember kGetCurrentState{Kind::method, kDisplayConfig, "GetCurrentState", "",
                                               "ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv}"};
inline constexpr MutterMember kApplyMonitorsConfig{Kind::method, kDisplayConfig, "ApplyMonitorsConfig",
                                                   "uua(iiduba(ssa{sv}))a{sv}"};
inline constexpr MutterMember kMonitorsChanged{Kind::signal, kDisplayConfig, "MonitorsChanged", ""};

// Every member above.
inline constexpr std::array kAll{
    &kCreateRemoteDesktop, &kStart, &kStop, &kPointerMotionRelative, &kPointerMotionAbsolute, &kPointerButton,
    &kPointerAxis, &kPointerAxisDiscrete, &kKeyboardKeycode, &kTouchDown, &kTouchMotion, &kTouchUp, &kSessionId,
    &kRemoteDesktopClosed, &kCreateScreenCast, &kRecordVirtual, &kRecordMonitor, &kScreenCastClosed,
    &kPipeWireStreamAdded, &kGetCurrentState, &kApplyMonitorsConfig, &kMonitorsChanged};

// Throws DBusError (org.freedesktop.DBus.Error.InvalidArgs, as Mutter would
// answer) when `args` are not of `method`'s type.
void checkArguments(const MutterMember& method, const DBusValue& args);

// DBusConnection::call of `method` after checkArguments.
DBusValue call(DBusConnection& bus, const std::string& destination, const std::string& path,
               const MutterMember& method, const DBusValue& args, uint64_t timeoutNs);

}  // namespace MutterCalls

}  // namespace lumenrail
