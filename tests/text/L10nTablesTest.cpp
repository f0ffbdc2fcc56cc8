// Every text the windows, the menu, the notices and the pairing prompt show
// has a key; each shipped table must hold every key with the arguments its
// caller passes ('@' a text, 'd' an integer, in argument order).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "text/StringBundle.hpp"
#include "text/TextFormat.hpp"

namespace lumenrail {
namespace {

const std::vector<std::pair<std::string, std::string>> kKeys = {
    {"about.link.feedback", ""}, {"about.link.help", ""}, {"about.link.privacy", ""}, {"about.link.website", ""},
    {"about.title", "@"}, {"about.version", "@"}, {"action.cancel", ""}, {"action.downloadEllipsis", ""},
    {"action.forget", ""}, {"action.ok", ""}, {"action.openAccessibility", ""}, {"action.openEllipsis", ""},
    {"action.quit", "@"}, {"action.rename", ""}, {"action.startServing", ""}, {"action.stopServing", ""},
    {"app.hostName", "@"}, {"clientUpdate.detail.named", "@"}, {"clientUpdate.detail.unnamed", ""},
    {"clientUpdate.title", "@"}, {"device.connected", ""}, {"device.disconnect", ""}, {"device.forget", ""},
    {"device.kind.android", ""}, {"device.kind.androidTv", ""}, {"device.kind.appleTv", ""}, {"device.kind.iPad", ""},
    {"device.kind.iPhone", ""}, {"device.lastSeen", "@"}, {"device.mainDisplay", ""}, {"device.notConnected", ""},
    {"device.paired", ""}, {"device.renameEllipsis", ""}, {"device.setMain", ""}, {"device.unnamed", ""},
    {"inputBlocked.detail", ""}, {"inputBlocked.title", ""}, {"loginItem.failed", "@"}, {"loginItem.needsBundle", ""},
    {"loginItem.requiresApproval", "@"}, {"loginItem.unsupported", ""}, {"menu.about", "@"}, {"menu.awdl.hint", ""},
    {"menu.awdl.title", ""}, {"menu.awdl.tooltip", ""}, {"menu.clientsConnected", "d"}, {"menu.displayMode", ""},
    {"menu.extended", ""}, {"menu.header", "@@"}, {"menu.idle.wifi", "@"}, {"menu.idle.wifiUsb", "@"},
    {"menu.inputBlocked.title", ""}, {"menu.mirror", ""}, {"menu.mode.extend", ""}, {"menu.mode.mirror", ""},
    {"menu.modeLine", "@@@"}, {"menu.pairedDevices", ""}, {"menu.pairedDevices.none", ""}, {"menu.pen", ""},
    {"menu.pen.active", "d"}, {"menu.pen.extendOnly", ""}, {"menu.pen.rate", ""}, {"menu.pen.waiting", ""},
    {"menu.settings", ""}, {"menu.setup", ""}, {"menu.showQr", ""}, {"menu.updateAvailable", "@"},
    {"mode.extend", ""}, {"mode.mirror", ""}, {"notice.connected.unnamed", ""}, {"notice.connected.usb", "@"},
    {"notice.connected.wifi", "@"}, {"pair.alert.allow", ""}, {"pair.alert.deny", ""}, {"pair.alert.message", "@@@"},
    {"pair.alert.message.unnamed", "@@"}, {"pair.alert.title", ""}, {"panel.awdl.detail", ""},
    {"panel.awdl.title", ""}, {"panel.deviceActions", ""}, {"panel.devices", ""}, {"panel.devicesCount", "d"},
    {"panel.display", ""}, {"panel.extend.detail", ""}, {"panel.help.qr", ""}, {"panel.help.settings", ""},
    {"panel.help.setup", ""}, {"panel.mirror.detail", ""}, {"panel.modeLabel", "@@d"}, {"panel.noDevice", ""},
    {"panel.noDevice.detail", "@"}, {"panel.open.detail", ""}, {"panel.open.title", ""}, {"panel.pen", ""}, {"panel.pen.active", "d"}, {"panel.pen.armed", ""},
    {"panel.pen.extendOnly", ""}, {"panel.pen.off", ""}, {"panel.qrCode", ""}, {"panel.subtitle.extended", ""},
    {"panel.subtitle.mirroring", ""}, {"panel.subtitle.serving", "@@"}, {"panel.subtitle.starting", ""},
    {"panel.subtitle.stopped", "@"}, {"panel.subtitle.stoppedUsb", "@"}, {"panel.update.detail", "@"},
    {"panel.update.title", "@"}, {"panel.waiting", ""}, {"panel.waiting.detail", "@"}, {"pen.highRateMode", ""},
    {"qr.address", "@@"}, {"qr.address.primary", "@@"}, {"qr.copied", ""}, {"qr.copyLink", ""}, {"qr.done", ""},
    {"qr.endpoint", "@@@"}, {"qr.hint", ""}, {"qr.noNetwork", ""}, {"qr.renderFailed", ""}, {"qr.stopped", "@"},
    {"qr.subtitle", ""}, {"qr.title", ""}, {"qr.windowTitle", ""}, {"rename.message", "@"}, {"rename.title", "@"},
    {"settings.advanced.log", ""}, {"settings.advanced.log.desc", ""}, {"settings.advanced.remove", "@"},
    {"settings.advanced.remove.action", ""}, {"settings.advanced.remove.button", ""},
    {"settings.advanced.remove.confirm", "@"}, {"settings.advanced.remove.desc", ""},
    {"settings.advanced.remove.message", "@"}, {"settings.advanced.reset", ""},
    {"settings.advanced.reset.action", ""}, {"settings.advanced.reset.button", ""},
    {"settings.advanced.reset.confirm", ""}, {"settings.advanced.reset.desc", ""},
    {"settings.advanced.reset.message", ""}, {"settings.advanced.updates", ""},
    {"settings.advanced.updates.desc", "@"}, {"settings.advanced.updates.switch", ""},
    {"settings.arrangeDisplays", ""}, {"settings.arrangeDisplays.unavailable", ""}, {"settings.blurb.advanced", ""}, {"settings.blurb.connection", ""},
    {"settings.blurb.display", "@"}, {"settings.blurb.pairing", ""}, {"settings.blurb.pen", ""},
    {"settings.blurb.startup", ""}, {"settings.connection.encrypt", ""}, {"settings.connection.encrypt.off", ""},
    {"settings.connection.encrypt.on", ""}, {"settings.connection.encrypt.switch", ""},
    {"settings.connection.keyOnly", ""}, {"settings.connection.keyOnly.off", ""},
    {"settings.connection.keyOnly.on", ""}, {"settings.connection.keyOnly.switch", ""},
    {"settings.connection.note", ""}, {"settings.connection.notice", ""}, {"settings.connection.notice.always", ""},
    {"settings.connection.notice.desc", ""}, {"settings.connection.notice.off", ""},
    {"settings.connection.notice.wifi", ""}, {"settings.connection.port", ""}, {"settings.connection.port.desc", "@"},
    {"settings.connection.usb", ""}, {"settings.connection.usb.desc", ""}, {"settings.connection.usb.switch", ""},
    {"settings.copied", ""}, {"settings.copyFailed", ""}, {"settings.copySupport", ""},
    {"settings.display.extend.detail", ""}, {"settings.display.frameRate", ""},
    {"settings.display.frameRate.desc", ""}, {"settings.display.frameRate.value", "d"},
    {"settings.display.mirror.detail", ""}, {"settings.display.note", ""}, {"settings.display.resolution", ""},
    {"settings.display.resolution.desc", ""}, {"settings.display.resolution.value", "@@"}, {"settings.openLog", ""},
    {"settings.pairing.approved", ""}, {"settings.pairing.ask", ""}, {"settings.pairing.ask.desc", ""},
    {"settings.pairing.none", ""}, {"settings.pen.desc", "@"}, {"settings.pen.extendOnly", ""},
    {"settings.pen.note", ""}, {"settings.pending.cableTransports", ""}, {"settings.pending.frameRate", ""},
    {"settings.pending.pairing", ""}, {"settings.pending.port", ""}, {"settings.pending.resolution", ""},
    {"settings.pending.wifiEncryption", ""}, {"settings.restart.action", ""}, {"settings.restart.detail", "@"},
    {"settings.restart.title", ""}, {"settings.section.about", ""}, {"settings.section.advanced", ""},
    {"settings.section.connection", ""}, {"settings.section.display", ""}, {"settings.section.pairing", ""},
    {"settings.section.pen", ""}, {"settings.section.startup", ""}, {"settings.sidebar.subtitle", ""},
    {"settings.startup.autoStart", ""}, {"settings.startup.autoStart.desc", ""},
    {"settings.startup.autoStart.switch", ""}, {"settings.startup.language", ""},
    {"settings.startup.language.desc", "@"}, {"settings.startup.language.relaunch", ""},
    {"settings.startup.language.system", ""}, {"settings.startup.note", ""}, {"settings.startup.openAtLogin", "@"},
    {"settings.startup.openAtLogin.desc", ""}, {"settings.startup.openAtLogin.switch", ""},
    {"settings.startup.openAtLogin.unavailable", ""}, {"settings.tag.live", ""}, {"settings.windowTitle", "@"},
    {"setup.back", ""}, {"setup.continue", ""}, {"setup.device.menuBarHint", "@"}, {"setup.device.qrLabel", "@"},
    {"setup.device.screenOff", "@"}, {"setup.device.subtitle", ""}, {"setup.device.then", "@@"},
    {"setup.device.title", "@"}, {"setup.feature.cable.text", ""}, {"setup.feature.cable.title", ""},
    {"setup.feature.draw.text", ""}, {"setup.feature.draw.title", ""}, {"setup.feature.extend.text", ""},
    {"setup.feature.extend.title", ""}, {"setup.finish", ""}, {"setup.permissions.accessibility.text", ""},
    {"setup.permissions.accessibility.title", ""}, {"setup.permissions.allow", ""}, {"setup.permissions.allowed", ""},
    {"setup.permissions.localNetwork", "@"}, {"setup.permissions.monthly", "@"}, {"setup.permissions.optional", ""},
    {"setup.permissions.relaunch", "@"}, {"setup.permissions.screen.text", ""},
    {"setup.permissions.screen.title", ""}, {"setup.permissions.subtitle", "@"}, {"setup.permissions.title", ""},
    {"setup.skip", ""}, {"setup.start", "@"}, {"setup.stepOf", "dd"}, {"setup.welcome.subtitle", ""},
    {"setup.welcome.title", "@"}, {"status.serving", ""}, {"status.starting", ""}, {"status.startingEllipsis", ""},
    {"status.stopped", ""}, {"status.stopping", ""}, {"status.stoppingEllipsis", ""}, {"support.mail.paste", ""},
    {"support.mail.prompt", ""}, {"support.noMailApp", "@"}, {"transport.cable", ""}, {"transport.wifi", ""},
    {"action.tryAgain", ""}, {"panel.startFailed.title", ""}, {"failure.portInUse", "@"}, {"failure.network", "@"},
    {"failure.capture", ""}, {"failure.other", "@"}, {"failure.unknown", ""}, {"inputAccess.title", ""},
    {"inputAccess.what", "@"}, {"inputAccess.run", ""}, {"inputAccess.copy", ""}, {"inputAccess.allowed", ""},
    {"inputAccess.notYet", ""}, {"panel.subtitle.extendRefused", ""}, {"panel.subtitle.extendRefused.help", ""},
    {"panel.devices.plural", ""}, {"panel.noDevice.paired", ""}, {"setup.device.windowHint", "@"},
    {"setup.device.then.window", "@"},
};

TEST(L10nTables, EveryShippedTableHoldsEveryKeyWithItsArguments) {
  const auto bundle = StringBundle::open(LUMENRAIL_L10N_BUNDLE);
  ASSERT_TRUE(bundle);
  const auto tags = bundle->localizations();
  ASSERT_NE(std::find(tags.begin(), tags.end(), "Base"), tags.end());
  ASSERT_NE(std::find(tags.begin(), tags.end(), "en"), tags.end());
  for (const auto& tag : tags) {
    const auto* table = bundle->table(tag);
    ASSERT_NE(table, nullptr) << tag;
    for (const auto& [key, arguments] : kKeys) {
      const auto it = table->find(key);
      if (it == table->end()) {
        ADD_FAILURE() << tag << " lacks " << key;
        continue;
      }
      EXPECT_EQ(TextFormat::signature(it->second), arguments) << tag << " " << key << ": " << it->second;
      EXPECT_NE(it->second, key) << tag << " leaves " << key << " untranslated";
    }
    // A key no caller asks for is a typo of one that is missing.
    for (const auto& [key, text] : *table) {
      const bool known = std::any_of(kKeys.begin(), kKeys.end(), [&](const auto& k) { return k.first == key; });
      EXPECT_TRUE(known) << tag << " holds unknown key " << key;
    }
  }
}

}  // namespace
}  // namespace lumenrail
