#include "platform/Ed25519Point.hpp"

#include <openssl/bn.h>
#include <openssl/err.h>

#include <algorithm>
#include <array>
#include <memory>

namespace lumenrail::Ed25519Point {

namespace {

constexpr size_t kLen = 32;

struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

// Affine arithmetic on BIGNUMs: slow next to a real curve library, but it
// runs once per key or signature a peer sends, and each step stays readable.
class Field {
 public:
  Field() : ctx_(BN_CTX_new()) {
    if (!ctx_) return;
    BN_CTX_start(ctx_.get());
    p_ = BN_CTX_get(ctx_.get());
    d_ = BN_CTX_get(ctx_.get());
    BIGNUM* num = BN_CTX_get(ctx_.get());
    BIGNUM* den = BN_CTX_get(ctx_.get());
    // p = 2^255 - 19; d = -121665 / 121666 mod p.
    ok_ = den && BN_set_bit(p_, 255) && BN_sub_word(p_, 19) && BN_set_word(num, 121665) && BN_sub(num, p_, num) &&
          BN_set_word(den, 121666) && div(d_, num, den);
  }
  ~Field() {
    if (ctx_) BN_CTX_end(ctx_.get());
  }
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  bool ok() const { return ok_; }
  BN_CTX* ctx() const { return ctx_.get(); }
  const BIGNUM* p() const { return p_; }
  BIGNUM* temp() { return BN_CTX_get(ctx_.get()); }

  // x = u / v, computed as u * v^-1.
  bool div(BIGNUM* x, const BIGNUM* u, const BIGNUM* v) {
    BIGNUM* inv = temp();
    return inv && BN_mod_inverse(inv, v, p_, ctx()) && BN_mod_mul(x, u, inv, p_, ctx());
  }

  // RFC 8032 5.1.3; false for a non-canonical y, a y off the curve, and x = 0 with the sign bit set.
  bool decode(ByteView encoded, BIGNUM* x, BIGNUM* y) {
    std::array<uint8_t, kLen> le{};
    std::copy(encoded.begin(), encoded.end(), le.begin());
    const bool sign = (le[kLen - 1] & 0x80) != 0;
    le[kLen - 1] &= 0x7f;
    BIGNUM *u = temp(), *v = temp(), *x2 = temp(), *check = temp();
    if (!check || !BN_lebin2bn(le.data(), kLen, y) || BN_cmp(y, p_) >= 0) return false;
    // x^2 = (y^2 - 1) / (d y^2 + 1); d is not a square, so the divisor is never 0.
    if (!BN_mod_sqr(u, y, p_, ctx()) || !BN_mod_mul(v, u, d_, p_, ctx()) || !BN_add_word(v, 1) ||
        !BN_mod_sub(u, u, BN_value_one(), p_, ctx()) || !div(x2, u, v)) {
      return false;
    }
    if (BN_is_zero(x2)) {
      BN_zero(x);
      return !sign;
    }
    if (!BN_mod_sqrt(x, x2, p_, ctx())) {
      ERR_clear_error();  // not a square: no point
      return false;
    }
    if (!BN_mod_sqr(check, x, p_, ctx()) || BN_cmp(check, x2) != 0) return false;
    if ((BN_is_odd(x) != 0) != sign && !BN_sub(x, p_, x)) return false;
    return true;
  }

  // (x, y) += (x, y) by the complete twisted Edwards addition law (a = -1).
  bool twice(BIGNUM* x, BIGNUM* y) {
    BIGNUM *xy = temp(), *t = temp(), *num = temp(), *den = temp(), *nx = temp();
    if (!nx || !BN_mod_mul(xy, x, y, p_, ctx()) || !BN_mod_mul(t, xy, xy, p_, ctx()) ||
        !BN_mod_mul(t, t, d_, p_, ctx())) {
      return false;
    }
    // x' = 2xy / (1 + d x^2 y^2); y' = (y^2 + x^2) / (1 - d x^2 y^2).
    if (!BN_mod_add(num, xy, xy, p_, ctx()) || !BN_mod_add(den, BN_value_one(), t, p_, ctx()) || !div(nx, num, den)) {
      return false;
    }
    BIGNUM* sq = temp();
    if (!sq || !BN_mod_sqr(num, y, p_, ctx()) || !BN_mod_sqr(sq, x, p_, ctx()) || !BN_mod_add(num, num, sq, p_, ctx()) ||
        !BN_mod_sub(den, BN_value_one(), t, p_, ctx()) || !div(y, num, den)) {
      return false;
    }
    return BN_copy(x, nx) != nullptr;
  }

 private:
  std::unique_ptr<BN_CTX, BnCtxFree> ctx_;
  BIGNUM* p_ = nullptr;
  BIGNUM* d_ = nullptr;
  bool ok_ = false;
};

}  // namespace

Encoding classify(ByteView encoded) noexcept {
  if (encoded.size() != kLen) return Encoding::unusable;
  Field f;
  if (!f.ok()) return Encoding::unusable;
  BIGNUM *x = f.temp(), *y = f.temp();
  if (!y || !f.decode(encoded, x, y)) return Encoding::unusable;
  // The eight small-order points are exactly those that [8]P sends to the neutral point (0, 1).
  for (int i = 0; i < 3; ++i) {
    if (!f.twice(x, y)) return Encoding::unusable;
  }
  return BN_is_zero(x) && BN_is_one(y) ? Encoding::smallOrder : Encoding::usable;
}

bool isCanonicalScalar(ByteView scalar) noexcept {
  // L = 2^252 + 27742317777372353535851937790883648493, little-endian.
  static constexpr std::array<uint8_t, kLen> kOrder = {
      0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  if (scalar.size() != kLen) return false;
  for (size_t i = kLen; i-- > 0;) {
    if (scalar[i] != kOrder[i]) return scalar[i] < kOrder[i];
  }
  return false;  // equal to L
}

}  // namespace lumenrail::Ed25519Point
