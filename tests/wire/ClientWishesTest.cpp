// The clients' wishes, recorded per client and merged over the registered ones.
#include <gtest/gtest.h>

#include "wire/ClientWishes.hpp"

namespace lumenrail {
namespace {

namespace F = Wire::ClientFeature;

std::shared_ptr<ClientConn> client(int fd) { return std::make_shared<ClientConn>(fd, 4, true); }

Wire::EncoderConfigRequest request(uint8_t fields, float quality, int64_t fps, int64_t kbps) {
  Wire::EncoderConfigRequest r = Wire::EncoderConfigRequest::none();
  r.fields = fields;
  r.quality = quality;
  r.fpsCap = fps;
  r.bitrateKbps = kbps;
  return r;
}

TEST(ClientWishes, MergesAreTakenAgainWhenAClientLeaves) {
  auto a = client(11), b = client(12), quiet = client(13);
  EXPECT_EQ(ClientWishes::recordCaps(*a, F::audio | F::audioPcm | F::hevc, false).line,
            "ClientCaps ← client: 0xe (audio:pcm,hevc)");
  EXPECT_TRUE(ClientWishes::recordCaps(*b, F::audio | F::hevc | F::frameChunk, false).hevcChanged);
  EXPECT_FALSE(ClientWishes::recordCaps(*b, F::audio | F::hevc, false).hevcChanged) << "HEVC wish unchanged";
  EXPECT_TRUE(ClientWishes::recordEncoderConfig(*a, request(1 | 4, 0.5f, 0, 4000)));
  EXPECT_EQ(ClientWishes::recordEncoderConfig(*b, request(2 | 4, 0, 30, 6000)),
            "EncoderConfig 0x1C ← client (fd 12): fps≤30, 6000 kbps");
  EXPECT_FALSE(ClientWishes::recordEncoderConfig(*b, request(2 | 4, 0, 30, 6000))) << "the same request again";

  const ClientWishes all({a, b, quiet});
  EXPECT_TRUE(all.hevc()) << "a client that never declared caps does not count";
  EXPECT_TRUE(all.audioPcm());
  EXPECT_TRUE(all.audioAac());
  const auto merged = all.encoderConfig();
  EXPECT_EQ(merged.fields, 7);
  EXPECT_FLOAT_EQ(merged.quality, 0.5f);
  EXPECT_EQ(merged.fpsCap, 30);
  EXPECT_EQ(merged.bitrateKbps, 6000);

  // `a` leaves: what it alone asked for goes with it.
  const auto gone = ClientWishes::departure(*a);
  EXPECT_TRUE(gone.audio && gone.hevc && gone.encoder);
  const ClientWishes rest({b, quiet});
  EXPECT_FALSE(rest.audioPcm());
  EXPECT_TRUE(rest.audioAac());
  EXPECT_EQ(rest.encoderConfig().fields, 2 | 4);
  EXPECT_EQ(rest.encoderConfig().bitrateKbps, 6000);

  EXPECT_FALSE(ClientWishes({quiet}).hevc());
  const auto silent = ClientWishes::departure(*quiet);
  EXPECT_FALSE(silent.audio || silent.hevc || silent.encoder) << "its departure announces nothing";
  EXPECT_FALSE(ClientWishes({}).audio());
}

TEST(ClientWishes, HevcNeedsEveryDeclaredClientAndForcedAacOverridesPcm) {
  auto a = client(11), b = client(12);
  ClientWishes::recordCaps(*a, F::hevc, false);
  const auto update = ClientWishes::recordCaps(*b, F::audio | F::audioPcm, true);
  EXPECT_EQ(update.line, "ClientCaps ← client: 0xa (audio:aac)");
  EXPECT_FALSE(ClientWishes({a, b}).hevc());
  EXPECT_FALSE(ClientWishes({a, b}).audioPcm());
  EXPECT_TRUE(ClientWishes({a, b}).audioAac());
  EXPECT_TRUE(ClientWishes({a}).hevc());
}

}  // namespace
}  // namespace lumenrail
