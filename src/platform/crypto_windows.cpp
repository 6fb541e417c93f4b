#include "platform/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace taq::platform {

void wipe(void* data, size_t n) { SecureZeroMemory(data, n); }

bool crypto_available() { return true; }

bool random_bytes(void* out, size_t n) {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(n),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

namespace {

// An algorithm provider, closed on every path.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Provider(LPCWSTR algorithm, ULONG flags) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, flags))) handle = nullptr;
    }
    ~Provider() {
        if (handle) BCryptCloseAlgorithmProvider(handle, 0);
    }
};

// An AES-256-GCM key object over `key`; its memory wiped when it goes.
struct GcmKey {
    Provider aes{BCRYPT_AES_ALGORITHM, 0};
    BCRYPT_KEY_HANDLE handle = nullptr;
    explicit GcmKey(const SecretKey& key) {
        if (!aes.handle) return;
        ULONG got = 0;
        if (!BCRYPT_SUCCESS(BCryptSetProperty(aes.handle, BCRYPT_CHAINING_MODE,
                                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                              sizeof(BCRYPT_CHAIN_MODE_GCM), 0)))
            return;
        (void)got;
        if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(aes.handle, &handle, nullptr, 0,
                                                       const_cast<PUCHAR>(key.data()), kKeyBytes, 0)))
            handle = nullptr;
    }
    ~GcmKey() {
        if (handle) BCryptDestroyKey(handle);
    }
};

void describe(BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO& info, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes,
              uint8_t* tag) {
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = kNonceBytes;
    info.pbAuthData = const_cast<PUCHAR>(aad);
    info.cbAuthData = static_cast<ULONG>(aad_bytes);
    info.pbTag = tag;
    info.cbTag = kTagBytes;
}

}  // namespace

bool derive_key(const std::string& password, const uint8_t* salt, size_t salt_bytes, uint32_t iterations,
                SecretKey& out) {
    out.clear();
    Provider hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!hmac.handle) return false;
    if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(hmac.handle,
                                              reinterpret_cast<PUCHAR>(const_cast<char*>(password.data())),
                                              static_cast<ULONG>(password.size()), const_cast<PUCHAR>(salt),
                                              static_cast<ULONG>(salt_bytes), iterations, out.data(), kKeyBytes, 0)))
        return false;
    out.mark_set();
    return true;
}

bool seal(const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes, const uint8_t* plain,
          size_t n, uint8_t* cipher, uint8_t* tag) {
    GcmKey k(key);
    if (!k.handle) return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    describe(info, nonce, aad, aad_bytes, tag);
    ULONG done = 0;
    return BCRYPT_SUCCESS(BCryptEncrypt(k.handle, const_cast<PUCHAR>(plain), static_cast<ULONG>(n), &info, nullptr, 0,
                                        cipher, static_cast<ULONG>(n), &done, 0)) &&
           done == n;
}

bool open(const SecretKey& key, const uint8_t* nonce, const uint8_t* aad, size_t aad_bytes, const uint8_t* cipher,
          size_t n, const uint8_t* tag, uint8_t* plain) {
    GcmKey k(key);
    if (!k.handle) return false;
    uint8_t expected[kTagBytes];
    std::memcpy(expected, tag, kTagBytes);
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    describe(info, nonce, aad, aad_bytes, expected);
    ULONG done = 0;
    const bool ok = BCRYPT_SUCCESS(BCryptDecrypt(k.handle, const_cast<PUCHAR>(cipher), static_cast<ULONG>(n), &info,
                                                 nullptr, 0, plain, static_cast<ULONG>(n), &done, 0)) &&
                    done == n;
    if (!ok) wipe(plain, n);
    return ok;
}

bool read_secret_line(const std::string& prompt, std::string& line) {
    line.clear();
    // Asked only of a person at the console: a run whose standard input is
    // a pipe or a file has nobody to answer.
    DWORD stdin_mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &stdin_mode)) return false;
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    const bool console = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
    bool ok = false;
    if (console) {
        SetConsoleMode(in, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        DWORD written = 0;
        WriteConsoleA(out, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
        std::vector<wchar_t> wide;
        for (;;) {
            wchar_t c = 0;
            DWORD got = 0;
            if (!ReadConsoleW(in, &c, 1, &got, nullptr) || got != 1) break;
            if (c == L'\n') {
                ok = true;
                break;
            }
            if (c != L'\r') wide.push_back(c);
        }
        WriteConsoleA(out, "\r\n", 2, &written, nullptr);
        SetConsoleMode(in, mode);
        if (ok && !wide.empty()) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                                  nullptr, nullptr);
            line.resize(static_cast<size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), line.data(), bytes, nullptr,
                                nullptr);
        }
        wipe(wide.data(), wide.size() * sizeof(wchar_t));
    }
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return ok;
}

}  // namespace taq::platform
