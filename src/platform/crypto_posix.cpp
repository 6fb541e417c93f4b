#include "platform/crypto.h"

#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#ifdef TAQ_HAVE_OPENSSL
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#endif

namespace taq::platform {

#ifdef TAQ_HAVE_OPENSSL

void wipe(void* data, size_t n) { OPENSSL_cleanse(data, n); }

bool crypto_available() { return true; }

bool random_bytes(void* out, size_t n) { return RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(n)) == 1; }

bool derive_key(const std::string& password, const uint8_t* salt, size_t salt_bytes, uint32_t iterations,
                SecretKey& out) {
    out.clear();
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, static_cast<int>(salt_bytes),
                          static_cast<int>(iterations), EVP_sha256(), static_cast<int>(kKeyBytes), out.data()) != 1)
        return false;
    out.mark_set();
    return true;
}

namespace {

// One GCM operation: the context freed (and its key schedule wiped) on
// every path.
struct Cipher {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~Cipher() { EVP_CIPHER_CTX_free(ctx); }
    bool begin(bool encrypt, const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes) {
        int len = 0;
        return ctx && EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt ? 1 : 0) == 1 &&
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes), nullptr) == 1 &&
               EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), nonce, -1) == 1 &&
               (aad_bytes == 0 || EVP_CipherUpdate(ctx, nullptr, &len, aad, static_cast<int>(aad_bytes)) == 1);
    }
    bool update(const uint8_t* in, size_t n, uint8_t* out) {
        int len = 0;
        return n == 0 || EVP_CipherUpdate(ctx, out, &len, in, static_cast<int>(n)) == 1;
    }
};

}  // namespace

bool seal(const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes, const uint8_t* plain,
          size_t n, uint8_t* cipher, uint8_t* tag) {
    Cipher c;
    int len = 0;
    uint8_t end[16];
    return c.begin(true, key, nonce, aad, aad_bytes) && c.update(plain, n, cipher) &&
           EVP_CipherFinal_ex(c.ctx, end, &len) == 1 &&
           EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag) == 1;
}

bool open(const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes, const uint8_t* cipher,
          size_t n, const uint8_t* tag, uint8_t* plain) {
    Cipher c;
    int len = 0;
    uint8_t end[16];
    uint8_t expected[kTagBytes];
    std::memcpy(expected, tag, kTagBytes);
    const bool ok = c.begin(false, key, nonce, aad, aad_bytes) && c.update(cipher, n, plain) &&
                    EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), expected) == 1 &&
                    EVP_CipherFinal_ex(c.ctx, end, &len) == 1;
    if (!ok) wipe(plain, n);
    return ok;
}

#else  // a build without the library: no encrypted archives

void wipe(void* data, size_t n) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) p[i] = 0;
}
bool crypto_available() { return false; }
bool random_bytes(void*, size_t) { return false; }
bool derive_key(const std::string&, const uint8_t*, size_t, uint32_t, SecretKey& out) {
    out.clear();
    return false;
}
bool seal(const SecretKey&, const uint8_t*, const uint8_t*, size_t, const uint8_t*, size_t, uint8_t*, uint8_t*) {
    return false;
}
bool open(const SecretKey&, const uint8_t*, const uint8_t*, size_t, const uint8_t*, size_t, const uint8_t*,
          uint8_t*) {
    return false;
}

#endif

bool read_secret_line(const std::string& prompt, std::string& line) {
    line.clear();
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    termios saved{};
    const bool have_terminal = tcgetattr(fd, &saved) == 0;
    if (have_terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSANOW, &quiet);
    }
    bool ok = ::write(fd, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got != 1) {
            ok = ok && !line.empty();
            break;
        }
        if (c == '\n' || c == '\r') break;
        line.push_back(c);
    }
    if (have_terminal) tcsetattr(fd, TCSANOW, &saved);
    ::close(fd);
    return ok && have_terminal;
}

}  // namespace taq::platform
