// The backup keybag of an encrypted backup: tag-length-value items (4-character tag, 4-byte
// big-endian length, value). A header (VERS, TYPE, UUID, HMCK, WRAP, SALT, ITER, DPWT, DPIC,
// DPSL) says how the password becomes a key: PBKDF2-SHA256 over DPSL/DPIC, then PBKDF2-SHA1
// over SALT/ITER. Each protection class follows (UUID, CLAS, WRAP, KTYP, WPKY) with its class
// key AES-wrapped by that password key, so a wrong password fails the unwrap's integrity check.
#pragma once

#include <string>
#include <string_view>

namespace devsim {

// Iteration limits for keybags that arrive from a host; more would let a host stall the device.
constexpr unsigned kMaxKeybagIterations = 20'000'000;

// A new keybag protected by password (never empty on success).
std::string MakeBackupKeybag(std::string_view password);
// True when the password unwraps the keybag's class keys; false for a wrong password or a
// malformed keybag.
bool KeybagAcceptsPassword(std::string_view keybag, std::string_view password);

}  // namespace devsim
