#include "libs/tlslib/TlsLib.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "libs/tlslib/OpenSslContextStore.h"
#include "libs/tlslib/OpenSslSocketFactory.h"

namespace tarn::tls {

namespace {

std::mutex stateMutex;
std::atomic<bool> initialized{false};
std::string initError;  // guarded by stateMutex

}  // namespace

Result<TlsSocketFactory> initTLSLib() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1) {
        // Leave nothing behind for the next error report of this thread to misread.
        ERR_clear_error();
        initError = "OpenSSL could not be initialised";
        return Result<TlsSocketFactory>::failure(RC_TLS_INIT_FAILED);
    }
    // Without a directory the daemon still serves plain links; secure ones are refused.
    std::shared_ptr<OpenSslContextStore> contexts;
    const char* directory = std::getenv(TLS_DIRECTORY_VARIABLE);
    if (directory != nullptr && *directory != '\0') {
        std::string error;
        contexts = OpenSslContextStore::load(directory, error);
        if (!contexts) {
            initError = error;
            return Result<TlsSocketFactory>::failure(RC_TLS_INIT_FAILED);
        }
    }
    initError.clear();
    initialized.store(true);
    return Result<TlsSocketFactory>::success(
        std::make_shared<OpenSslSocketFactory>(std::move(contexts)));
}

std::string lastInitError() {
    std::lock_guard<std::mutex> lock(stateMutex);
    return initError;
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
