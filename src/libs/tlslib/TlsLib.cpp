#include "libs/tlslib/TlsLib.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "libs/tlslib/OpenSslSocketFactory.h"

namespace tarn::tls {

namespace {

std::mutex stateMutex;
std::atomic<bool> initialized{false};

}  // namespace

Result<TlsSocketFactory> initTLSLib() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1) {
        // Leave nothing behind for the next error report of this thread to misread.
        ERR_clear_error();
        return Result<TlsSocketFactory>::failure(RC_TLS_INIT_FAILED);
    }
    initialized.store(true);
    return Result<TlsSocketFactory>::success(std::make_shared<OpenSslSocketFactory>());
}

void cleanupTLSLib() {
    std::lock_guard<std::mutex> lock(stateMutex);
    initialized.store(false);
    // OPENSSL_cleanup is deliberately not called: it cannot be undone, so any later
    // initTLSLib in this process would fail, and OpenSSL runs it by itself at process exit.
    // Only this thread's own OpenSSL state is released now.
    OPENSSL_thread_stop();
}

bool isTLSLibInitialized() {
    return initialized.load();
}

}  // namespace tarn::tls
