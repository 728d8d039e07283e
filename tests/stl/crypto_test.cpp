// The crypto binding against libcrypto itself: AES-256 blocks and RSA-OAEP
// (SHA-1, MGF1-SHA-1) checked through the library's own EVP interface, and the
// absent-library paths.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <vector>

#include "stl/crypto.h"

using namespace torvalen::stl;

namespace {

// The EVP calls this test makes, looked up in the same library.
struct Evp {
    void* lib = dlopen("libcrypto.so.3", RTLD_NOW);
    template <typename F>
    F get(const char* name) { return reinterpret_cast<F>(dlsym(lib, name)); }

    void* (*cipher_ctx_new)() = get<void* (*)()>("EVP_CIPHER_CTX_new");
    void (*cipher_ctx_free)(void*) = get<void (*)(void*)>("EVP_CIPHER_CTX_free");
    const void* (*aes_256_ecb)() = get<const void* (*)()>("EVP_aes_256_ecb");
    int (*encrypt_init)(void*, const void*, void*, const unsigned char*, const unsigned char*) =
        get<decltype(encrypt_init)>("EVP_EncryptInit_ex");
    int (*decrypt_init)(void*, const void*, void*, const unsigned char*, const unsigned char*) =
        get<decltype(decrypt_init)>("EVP_DecryptInit_ex");
    int (*set_padding)(void*, int) = get<decltype(set_padding)>("EVP_CIPHER_CTX_set_padding");
    int (*encrypt_update)(void*, unsigned char*, int*, const unsigned char*, int) =
        get<decltype(encrypt_update)>("EVP_EncryptUpdate");
    int (*decrypt_update)(void*, unsigned char*, int*, const unsigned char*, int) =
        get<decltype(decrypt_update)>("EVP_DecryptUpdate");

    void* (*pkey_new)() = get<void* (*)()>("EVP_PKEY_new");
    void (*pkey_free)(void*) = get<void (*)(void*)>("EVP_PKEY_free");
    int (*pkey_set1_rsa)(void*, void*) = get<decltype(pkey_set1_rsa)>("EVP_PKEY_set1_RSA");
    void* (*pctx_new)(void*, void*) = get<decltype(pctx_new)>("EVP_PKEY_CTX_new");
    void (*pctx_free)(void*) = get<void (*)(void*)>("EVP_PKEY_CTX_free");
    int (*pencrypt_init)(void*) = get<int (*)(void*)>("EVP_PKEY_encrypt_init");
    int (*pdecrypt_init)(void*) = get<int (*)(void*)>("EVP_PKEY_decrypt_init");
    int (*pencrypt)(void*, unsigned char*, size_t*, const unsigned char*, size_t) =
        get<decltype(pencrypt)>("EVP_PKEY_encrypt");
    int (*pdecrypt)(void*, unsigned char*, size_t*, const unsigned char*, size_t) =
        get<decltype(pdecrypt)>("EVP_PKEY_decrypt");
    int (*set_rsa_padding)(void*, int) = get<decltype(set_rsa_padding)>("EVP_PKEY_CTX_set_rsa_padding");
    int (*set_oaep_md)(void*, const void*) = get<decltype(set_oaep_md)>("EVP_PKEY_CTX_set_rsa_oaep_md");
    int (*set_mgf1_md)(void*, const void*) = get<decltype(set_mgf1_md)>("EVP_PKEY_CTX_set_rsa_mgf1_md");
    const void* (*sha1)() = get<const void* (*)()>("EVP_sha1");
    const void* (*rsa_get0_e)(const void*) = get<decltype(rsa_get0_e)>("RSA_get0_e");
    unsigned long (*bn_get_word)(const void*) = get<decltype(bn_get_word)>("BN_get_word");
    int (*rsa_bits)(const void*) = get<decltype(rsa_bits)>("RSA_bits");

    std::vector<uint8_t> aes_ecb(bool encrypt, const std::vector<uint8_t>& key, const std::vector<uint8_t>& in) {
        void* ctx = cipher_ctx_new();
        std::vector<uint8_t> out(in.size());
        int n = 0;
        if (encrypt) {
            encrypt_init(ctx, aes_256_ecb(), nullptr, key.data(), nullptr);
            set_padding(ctx, 0);
            encrypt_update(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        } else {
            decrypt_init(ctx, aes_256_ecb(), nullptr, key.data(), nullptr);
            set_padding(ctx, 0);
            decrypt_update(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        }
        cipher_ctx_free(ctx);
        out.resize(static_cast<size_t>(n));
        return out;
    }

    // RSA-OAEP with SHA-1 and MGF1-SHA-1 named explicitly.
    std::vector<uint8_t> oaep(bool encrypt, void* rsa, const std::vector<uint8_t>& in) {
        void* pkey = pkey_new();
        pkey_set1_rsa(pkey, rsa);
        void* ctx = pctx_new(pkey, nullptr);
        std::vector<uint8_t> out(512);
        size_t n = out.size();
        bool ok = (encrypt ? pencrypt_init(ctx) : pdecrypt_init(ctx)) == 1 && set_rsa_padding(ctx, 4) == 1 &&
                  set_oaep_md(ctx, sha1()) == 1 && set_mgf1_md(ctx, sha1()) == 1 &&
                  (encrypt ? pencrypt : pdecrypt)(ctx, out.data(), &n, in.data(), in.size()) == 1;
        pctx_free(ctx);
        pkey_free(pkey);
        out.resize(ok ? n : 0);
        return out;
    }
};

std::vector<uint8_t> hex(const char* s) {
    std::vector<uint8_t> v;
    for (; s[0] && s[1]; s += 2) v.push_back(static_cast<uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
    return v;
}

}  // namespace

TEST(StlCrypto, AesMatchesTheStandardAndTheLibrary) {
    CryptoBinding& crypto = process_crypto();
    ASSERT_TRUE(crypto.bind());
    Evp evp;
    ASSERT_TRUE(evp.lib && evp.encrypt_update && evp.pdecrypt && evp.set_mgf1_md);

    // AES-256 known answer (FIPS-197).
    auto key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    auto aes = AesSession::create(crypto, key);
    ASSERT_TRUE(aes);
    auto block = hex("00112233445566778899aabbccddeeff");
    ASSERT_TRUE(aes->encrypt(block));
    EXPECT_EQ(block, hex("8ea2b7ca516745bfeafc49904b496089"));

    // A random key over several blocks, both directions against EVP aes-256-ecb.
    std::vector<uint8_t> k(32), data(160);
    ASSERT_TRUE(crypto.random_bytes(k) && crypto.random_bytes(data));
    auto session = AesSession::create(crypto, k);
    auto ours = data;
    ASSERT_TRUE(session->encrypt(ours));
    EXPECT_EQ(ours, evp.aes_ecb(true, k, data));
    auto theirs = evp.aes_ecb(true, k, data);
    ASSERT_TRUE(session->decrypt(theirs));
    EXPECT_EQ(theirs, data);
    std::vector<uint8_t> odd(17);
    EXPECT_FALSE(session->decrypt(odd));
}

TEST(StlCrypto, RsaOaepKeyPairInteroperatesWithTheLibrary) {
    CryptoBinding& crypto = process_crypto();
    ASSERT_TRUE(crypto.bind());
    Evp evp;
    RsaKeyPair pair = crypto.generate_key_pair();
    ASSERT_TRUE(pair);
    EXPECT_EQ(evp.rsa_bits(pair.native_handle()), 2048);
    EXPECT_EQ(evp.bn_get_word(evp.rsa_get0_e(pair.native_handle())), 3u);

    auto pem = crypto.public_key_pem(pair);
    ASSERT_TRUE(pem);
    EXPECT_EQ(pem->rfind("-----BEGIN RSA PUBLIC KEY-----\n", 0), 0u);
    EXPECT_NE(pem->find("-----END RSA PUBLIC KEY-----"), std::string::npos);
    EXPECT_EQ(pem->find('\n', 31), 31u + 64u);  // 64-column lines

    std::vector<uint8_t> session_key(33, 0);
    ASSERT_TRUE(crypto.random_bytes(std::span(session_key).first(32)));
    // Sealed by us from the PEM text, opened by the library; and the reverse.
    auto sealed = crypto.oaep_encrypt(std::span(reinterpret_cast<const uint8_t*>(pem->data()), pem->size()), session_key);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->size(), 256u);
    EXPECT_EQ(evp.oaep(false, pair.native_handle(), *sealed), session_key);
    auto theirs = evp.oaep(true, pair.native_handle(), session_key);
    ASSERT_EQ(theirs.size(), 256u);
    EXPECT_EQ(crypto.oaep_decrypt(pair, theirs), session_key);
    theirs[100] ^= 1;
    EXPECT_FALSE(crypto.oaep_decrypt(pair, theirs));
    EXPECT_FALSE(crypto.oaep_encrypt(std::vector<uint8_t>{'x'}, session_key));
}

TEST(StlCrypto, MissingOrIncompleteLibraryIsAbsent) {
    CryptoBinding missing("/nonexistent/libcrypto.so.3");
    EXPECT_FALSE(missing.bind());
    EXPECT_FALSE(missing.bound());
    EXPECT_FALSE(missing.generate_key_pair());
    std::vector<uint8_t> buf(8);
    EXPECT_FALSE(missing.random_bytes(buf));
    EXPECT_FALSE(AesSession::create(missing, std::vector<uint8_t>(32)));
    // A library without the functions does not count either.
    CryptoBinding wrong("libm.so.6");
    EXPECT_FALSE(wrong.bind());
}
