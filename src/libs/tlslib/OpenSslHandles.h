#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace tarn::tls {

// Owning pointers to OpenSSL objects, released with the object's own free function.
template <auto Release>
struct OpenSslRelease {
    template <typename T>
    void operator()(T* object) const {
        Release(object);
    }
};

inline void releaseCertificateChain(STACK_OF(X509) * chain) {
    sk_X509_pop_free(chain, X509_free);
}

using SslPtr = std::unique_ptr<SSL, OpenSslRelease<SSL_free>>;
using SslContextPtr = std::unique_ptr<SSL_CTX, OpenSslRelease<SSL_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslRelease<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslRelease<X509_STORE_free>>;
using PrivateKeyPtr = std::unique_ptr<EVP_PKEY, OpenSslRelease<EVP_PKEY_free>>;
using CertificateChainPtr =
    std::unique_ptr<STACK_OF(X509), OpenSslRelease<releaseCertificateChain>>;

}  // namespace tarn::tls
