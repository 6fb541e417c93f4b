// The primitives of encrypted archives, from the system's cryptography
// library (never written here): a key derived from a password, random
// bytes, and authenticated encryption. AES-256-GCM and
// PBKDF2-HMAC-SHA256 on every system, so that an archive sealed on one
// opens on the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace taq::platform {

constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;

// Overwrites memory in a way the compiler may not leave out.
void wipe(void* data, size_t n);

// A key (or any secret of kKeyBytes): wiped when it goes. Never copied.
class SecretKey {
public:
    SecretKey() = default;
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
    ~SecretKey() { clear(); }
    void clear() {
        wipe(bytes_, sizeof bytes_);
        set_ = false;
    }
    uint8_t* data() { return bytes_; }
    const uint8_t* data() const { return bytes_; }
    bool set() const { return set_; }
    void mark_set() { set_ = true; }

private:
    uint8_t bytes_[kKeyBytes] = {};
    bool set_ = false;
};

// Whether this build has the primitives (a build for a system whose
// library was not found has none, and refuses encrypted archives).
bool crypto_available();

// n bytes from the system's secure random source; false on failure.
bool random_bytes(void* out, size_t n);

// PBKDF2-HMAC-SHA256 of the password with the salt, `iterations` rounds.
bool derive_key(const std::string& password, const uint8_t* salt, size_t salt_bytes, uint32_t iterations,
                SecretKey& out);

// AES-256-GCM: `n` bytes of `plain` to `cipher` (the same length), the tag
// over them and `aad`. `plain` and `cipher` may be the same buffer.
bool seal(const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes, const uint8_t* plain,
          size_t n, uint8_t* cipher, uint8_t* tag);
// The reverse; false when the tag does not match (then `plain` holds
// nothing that may be used) or on a failure.
bool open(const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes, const uint8_t* cipher,
          size_t n, const uint8_t* tag, uint8_t* plain);

// Shows `prompt` on the terminal and reads one line from it with the echo
// off (the line end left out). False when there is no terminal to ask (on
// Windows also when standard input is not the console).
bool read_secret_line(const std::string& prompt, std::string& line);

}  // namespace taq::platform
