// Fuzz target: the check of a signed update image (its header, then the whole file) on any bytes
// a broker could bring, against an update key made at start. Without the private key no input can
// pass: a verdict of Ok would be a forged image.
#include "fuzz_input.h"
#include "update/image.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>

#include <algorithm>
#include <fstream>

namespace {

// A fresh P-256 public key as /APP/update.pub of the run's sysroot.
void MakeUpdateKey()
{
    mbedtls_pk_context pk;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_pk_init(&pk);
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    unsigned char pem[1024];
    bool ok = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0 &&
              mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) == 0 &&
              mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(pk), mbedtls_ctr_drbg_random, &drbg) == 0 &&
              mbedtls_pk_write_pubkey_pem(&pk, pem, sizeof pem) == 0;
    fuzzinput::Check(ok, "an update key");
    std::filesystem::create_directories(fuzzinput::TempSysroot() + "/APP");
    std::ofstream(fuzzinput::TempSysroot() + "/APP/update.pub") << reinterpret_cast<char*>(pem);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    mbedtls_pk_free(&pk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static bool keyMade = (MakeUpdateKey(), true);
    (void)keyMade;
    ImageManifest m;
    uint8_t header[image::kHeaderSize] = {};
    std::memcpy(header, data, std::min(size, sizeof header));
    fuzzinput::Check(ImageCheckHeader(header, &m) != ImageVerdict::Ok, "an unsigned header passes");
    {
        std::ofstream out(fuzzinput::TempSysroot() + "/image", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fuzzinput::Check(ImageCheckFile("/image", &m) != ImageVerdict::Ok, "an unsigned image passes");
    return 0;
}
