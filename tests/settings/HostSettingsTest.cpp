// The settings record: presets, command-line overrides and the servable bounds.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "media/SyntheticFrameSource.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail {
namespace {

HostSettings apply(const HostSettings& base, std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/lumenrailhost");
  return base.applyingArguments(args);
}

HostSettings::PortArgument port(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/lumenrailhost");
  return HostSettings::portArgument(args);
}

TEST(HostSettingsPresets, ShipAndCommandLineDefaults) {
  const HostSettings ship{1920, 1080, 60, false, false, 27184, true, true, true, false, true, false, true,
                          ConnectNotice::wifiOnly};
  const HostSettings cli{1280, 720, 60, false, false, 27184, false, false, false, false, true, false, false,
                         ConnectNotice::wifiOnly};
  EXPECT_EQ(HostSettings::shipDefaults(), ship);
  EXPECT_EQ(HostSettings::cliDefaults(), cli);
  EXPECT_EQ(&HostSettings::shipDefaults(), &HostSettings::shipDefaults());
}

TEST(HostSettingsArguments, IntegerOptionsTakeTheirLastOccurrenceOnly) {
  const HostSettings base = HostSettings::cliDefaults();
  EXPECT_EQ(apply(base, {}), base);
  EXPECT_EQ(apply(base, {"--serve", "x", "--width=800", "--usb=1"}), base);

  // The last occurrence counts even when its value is unusable.
  EXPECT_EQ(apply(base, {"--width", "800", "--width", "wide"}).width, base.width);
  EXPECT_EQ(apply(base, {"--width", "800", "--width"}).width, base.width);
  EXPECT_EQ(apply(base, {"--height", "600", "--height", "0"}).height, base.height);
  EXPECT_EQ(apply(base, {"--fps", "30", "--fps", "-5"}).fps, base.fps);
  EXPECT_EQ(apply(base, {"--width", "wide", "--width", "800"}).width, 800);
  EXPECT_EQ(apply(base, {"--fps", "30", "--fps", "+45"}).fps, 45);

  // An option word is no value for the option before it.
  const HostSettings chained = apply(base, {"--width", "--height", "800"});
  EXPECT_EQ(chained.width, base.width);
  EXPECT_EQ(chained.height, 800);

  for (const char* bad : {"+-5", "", " 640", "640 ", "6_40", "0x280", "640.0", "1e3", "99999999999999999999",
                          "-9223372036854775809"}) {
    EXPECT_EQ(apply(base, {"--width", bad}).width, base.width) << '"' << bad << '"';
  }
}

TEST(HostSettingsArguments, SwitchPairsTakeWhicheverFormComesLast) {
  struct Row {
    const char* name;
    bool HostSettings::*field;
  };
  const Row rows[] = {{"capture-main", &HostSettings::captureMain}, {"pen-hirate", &HostSettings::penHighRate},
                      {"usb", &HostSettings::usbEnabled},           {"secure", &HostSettings::secureWifi},
                      {"pair", &HostSettings::pairingEnabled},      {"key-only-links", &HostSettings::keyOnlyLinks},
                      {"autostart", &HostSettings::autoStart},
                      {"update-check", &HostSettings::checkForUpdates}};
  for (const Row& row : rows) {
    const std::string on = std::string("--") + row.name;
    const std::string off = std::string("--no-") + row.name;
    for (bool start : {false, true}) {
      HostSettings base = HostSettings::cliDefaults();
      base.*row.field = start;
      SCOPED_TRACE(on + (start ? " from on" : " from off"));
      EXPECT_EQ(apply(base, {}).*row.field, start);
      EXPECT_TRUE(apply(base, {on}).*row.field);
      EXPECT_FALSE(apply(base, {off}).*row.field);
      EXPECT_FALSE(apply(base, {on, "x", off}).*row.field);
      EXPECT_TRUE(apply(base, {off, "x", on}).*row.field);
      EXPECT_TRUE(apply(base, {on, off, on}).*row.field);
      EXPECT_FALSE(apply(base, {off, on, off}).*row.field);
      EXPECT_EQ(apply(base, {on + "=0", off + "=1", on + " "}).*row.field, start);
      // One switch never moves another field.
      HostSettings expected = base;
      expected.*row.field = true;
      EXPECT_EQ(apply(base, {on}), expected);
    }
  }
  EXPECT_FALSE(apply(HostSettings::cliDefaults(), {"--launch-at-login"}).launchAtLogin);
}

TEST(HostSettingsArguments, ConnectNoticeTakesItsLastOccurrence) {
  const HostSettings base = HostSettings::cliDefaults();
  EXPECT_EQ(apply(base, {"--connect-notice", "off"}).connectNotice, ConnectNotice::off);
  EXPECT_EQ(apply(base, {"--connect-notice", "off", "--connect-notice", "always"}).connectNotice,
            ConnectNotice::always);
  EXPECT_EQ(apply(base, {"--connect-notice", "off", "--connect-notice", "Always"}).connectNotice, base.connectNotice);
  EXPECT_EQ(apply(base, {"--connect-notice", "off", "--connect-notice"}).connectNotice, base.connectNotice);
  EXPECT_EQ(apply(base, {"--connect-notice", "wifi "}).connectNotice, base.connectNotice);
  EXPECT_EQ(ConnectNotices::fromRawValue("always"), ConnectNotice::always);
  EXPECT_EQ(ConnectNotices::fromRawValue("OFF"), std::nullopt);
  EXPECT_TRUE(ConnectNotices::shouldAnnounce(ConnectNotice::wifiOnly, true));
  EXPECT_FALSE(ConnectNotices::shouldAnnounce(ConnectNotice::wifiOnly, false));
  EXPECT_TRUE(ConnectNotices::shouldAnnounce(ConnectNotice::always, false));
  EXPECT_FALSE(ConnectNotices::shouldAnnounce(ConnectNotice::off, true));
}

TEST(HostSettingsArguments, SizesAndRatesAreClampedIntoServableBounds) {
  const HostSettings base = HostSettings::cliDefaults();
  EXPECT_EQ(apply(base, {"--width", "1"}).width, HostSettings::minDimension);
  EXPECT_EQ(apply(base, {"--width", "65"}).width, 64);
  EXPECT_EQ(apply(base, {"--width", "1281"}).width, 1280);
  EXPECT_EQ(apply(base, {"--height", "16385"}).height, HostSettings::maxDimension);
  EXPECT_EQ(apply(base, {"--height", "9223372036854775807"}).height, HostSettings::maxDimension);
  EXPECT_EQ(apply(base, {"--fps", "5000"}).fps, HostSettings::maxFps);
  EXPECT_EQ(apply(base, {"--fps", "1"}).fps, 1);

  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (int64_t v : {kMin, int64_t{-1}, int64_t{0}, int64_t{15}, int64_t{16}, int64_t{63}, int64_t{65}, int64_t{1081}, int64_t{16383},
                    int64_t{16384}, int64_t{16385}, kMax}) {
    const int64_t d = HostSettings::clampDimension(v);
    EXPECT_GE(d, HostSettings::minDimension) << v;
    EXPECT_LE(d, HostSettings::maxDimension) << v;
    EXPECT_EQ(d % 2, 0) << v;
    const int64_t f = HostSettings::clampFps(v);
    EXPECT_GE(f, HostSettings::minFps) << v;
    EXPECT_LE(f, HostSettings::maxFps) << v;
  }
  EXPECT_EQ(HostSettings::clampDimension(1080), 1080);
  EXPECT_EQ(HostSettings::clampFps(60), 60);
}

TEST(HostSettingsArguments, PortIsCheckedAndAnUnusableOneIsReported) {
  const HostSettings base = HostSettings::cliDefaults();
  EXPECT_FALSE(port({}).given);
  EXPECT_FALSE(port({}).invalid());
  EXPECT_EQ(port({"--port", "65535"}).port, 65535);
  EXPECT_EQ(apply(base, {"--port", "65535"}).port, 65535);
  EXPECT_EQ(apply(base, {"--port", "+1"}).port, 1);
  for (const char* bad : {"0", "65536", "-1", "70000", "99999999999999999999999999", "port", "", "8080 "}) {
    SCOPED_TRACE(bad);
    EXPECT_TRUE(port({"--port", bad}).invalid());
    EXPECT_EQ(apply(base, {"--port", bad}).port, base.port);
  }
  EXPECT_TRUE(port({"--port"}).invalid());
  EXPECT_TRUE(port({"--port", "8080", "--port", "x"}).invalid());
  EXPECT_EQ(apply(base, {"--port", "8080", "--port", "x"}).port, base.port);
  EXPECT_EQ(port({"--port", "x", "--port", "8080"}).port, 8080);
  EXPECT_FALSE(port({"--port", "x", "--port", "8080"}).invalid());
}

// The bounds are only worth something if the encoder takes every corner of
// them: smallest and largest side, lowest and highest rate, both codecs.
TEST(HostSettingsBounds, EveryCornerStartsTheEncoderAndEncodesAFrame) {
  const int64_t lo = HostSettings::minDimension;
  const int64_t hi = HostSettings::maxDimension;
  struct Corner {
    int64_t width, height, fps;
  };
  const Corner corners[] = {{lo, lo, HostSettings::minFps},
                            {lo, lo, HostSettings::maxFps},
                            {hi, lo, HostSettings::maxFps},
                            {lo, hi, HostSettings::minFps}};
  for (Wire::Codec codec : {Wire::Codec::h264, Wire::Codec::hevc}) {
    for (const Corner& c : corners) {
      SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "@" + std::to_string(c.fps) +
                   (codec == Wire::Codec::hevc ? " hevc" : " h264"));
      VideoToolboxEncoder encoder({static_cast<int32_t>(c.width), static_cast<int32_t>(c.height),
                                   static_cast<int32_t>(c.fps), 12'000'000, codec, 1.0});
      int frames = 0;
      encoder.sink = [&](const EncodedFrame& f) { frames += f.isKeyframe ? 1 : 0; };
      ASSERT_NO_THROW(encoder.start());
      SyntheticFrameSource source(c.width, c.height);
      const PixelBufferRef frame = source.makeFrame(0);
      ASSERT_TRUE(frame);
      ASSERT_NO_THROW(encoder.encode(frame, 1, true));
      encoder.stop();
      EXPECT_EQ(frames, 1);
    }
  }
}

}  // namespace
}  // namespace lumenrail
