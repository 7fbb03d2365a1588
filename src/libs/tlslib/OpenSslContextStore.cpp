#include "libs/tlslib/OpenSslContextStore.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/OpenSslErrorScope.h"

namespace tarn::tls {

namespace {

constexpr unsigned char SESSION_ID_CONTEXT[] = "access-proxy";

struct Identity {
    X509Ptr certificate;
    CertificateChainPtr chain;  // certificates after the first one in the file
    PrivateKeyPtr key;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Credentials are read once at start-up by a daemon without a terminal: a protected key must
// fail to load rather than prompt for a pass phrase.
int refusePassPhrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*userdata*/) {
    return -1;
}

std::string openSslReason() {
    const char* reason = ERR_reason_error_string(ERR_peek_last_error());
    return reason != nullptr ? std::string(": ") + reason : std::string();
}

FilePtr openFile(const std::string& path, std::string& error) {
    FilePtr file(std::fopen(path.c_str(), "re"));
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
    }
    return file;
}

bool loadTrust(const std::string& path, X509_STORE* trust, std::string& error) {
    FilePtr file = openFile(path, error);
    if (!file) {
        return false;
    }
    int count = 0;
    while (X509Ptr certificate{PEM_read_X509(file.get(), nullptr, refusePassPhrase, nullptr)}) {
        if (X509_STORE_add_cert(trust, certificate.get()) != 1) {
            error = "cannot use a certificate of " + path + openSslReason();
            return false;
        }
        ++count;
    }
    if (count == 0) {
        error = "no certificate in " + path + openSslReason();
        return false;
    }
    return true;
}

bool loadIdentity(const std::string& certificatePath, const std::string& keyPath,
                  Identity& identity, std::string& error) {
    FilePtr certificates = openFile(certificatePath, error);
    if (!certificates) {
        return false;
    }
    identity.certificate.reset(
        PEM_read_X509(certificates.get(), nullptr, refusePassPhrase, nullptr));
    if (!identity.certificate) {
        error = "no certificate in " + certificatePath + openSslReason();
        return false;
    }
    identity.chain.reset(sk_X509_new_null());
    while (X509* next = PEM_read_X509(certificates.get(), nullptr, refusePassPhrase, nullptr)) {
        if (identity.chain == nullptr || sk_X509_push(identity.chain.get(), next) == 0) {
            X509_free(next);
            error = "cannot keep the chain of " + certificatePath;
            return false;
        }
    }
    // Reading stops at the end of the file with a "no start line" error, which is no failure.
    ERR_clear_error();

    FilePtr key = openFile(keyPath, error);
    if (!key) {
        return false;
    }
    identity.key.reset(PEM_read_PrivateKey(key.get(), nullptr, refusePassPhrase, nullptr));
    if (!identity.key) {
        error = "cannot load the private key in " + keyPath + openSslReason();
        return false;
    }
    if (X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1) {
        error = keyPath + " does not match " + certificatePath;
        return false;
    }
    return true;
}

SslContextPtr makeContext(bool server, bool mode, const Identity& identity, X509_STORE* trust) {
    SslContextPtr context(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!context) {
        return nullptr;
    }
    SSL_CTX* raw = context.get();
    SSL_CTX_set1_cert_store(raw, trust);
    // Both sides prove themselves: a server without a client certificate ends the handshake.
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    bool ok = true;
    if (mode) {
        ok = SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION) == 1 &&
             SSL_CTX_set_max_proto_version(raw, TLS1_3_VERSION) == 1 &&
             SSL_CTX_set_cipher_list(raw, OpenSslContextStore::CONFIDENTIAL_SUITES) == 1;
    } else {
        // Suites without encryption exist only below security level 1; the level has to drop
        // before the list is set, or the list matches nothing.
        SSL_CTX_set_security_level(raw, 0);
        // That level would also accept peer chains with broken signatures or tiny keys; the
        // whole point of these links is authentication, so chains keep the usual level.
        X509_VERIFY_PARAM_set_auth_level(SSL_CTX_get0_param(raw), 1);
        ok = SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION) == 1 &&
             SSL_CTX_set_max_proto_version(raw, TLS1_2_VERSION) == 1 &&
             SSL_CTX_set_cipher_list(raw, OpenSslContextStore::AUTHENTIC_SUITES) == 1;
    }
    ok = ok && SSL_CTX_use_certificate(raw, identity.certificate.get()) == 1 &&
         SSL_CTX_use_PrivateKey(raw, identity.key.get()) == 1 &&
         (sk_X509_num(identity.chain.get()) == 0 ||
          SSL_CTX_set1_chain(raw, identity.chain.get()) == 1) &&
         SSL_CTX_check_private_key(raw) == 1;
    // Partial writes and a moving buffer let a non-blocking caller retry from its own output
    // queue; idle sessions give their record buffers back.
    SSL_CTX_set_mode(raw, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION);
    if (server) {
        // Clients never resume, so cached sessions would only hold memory.
        SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
        ok = ok && SSL_CTX_set_session_id_context(raw, SESSION_ID_CONTEXT,
                                                  sizeof(SESSION_ID_CONTEXT) - 1) == 1;
    }
    return ok ? std::move(context) : nullptr;
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// A name that stays a plain file name inside the directory and is not one of the node's own.
bool isApplicationName(const std::string& alias) {
    return !alias.empty() && alias.front() != '.' && alias.find('/') == std::string::npos &&
           alias.find('\0') == std::string::npos && alias != "ca" && alias != "node";
}

}  // namespace

OpenSslContextStore::OpenSslContextStore(std::string directory, X509StorePtr trust)
    : directory_(std::move(directory)), trust_(std::move(trust)) {}

std::shared_ptr<OpenSslContextStore> OpenSslContextStore::load(const std::string& directory,
                                                               std::string& error) {
    OpenSslErrorScope errorScope;
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        error = "cannot use credentials directory " + directory + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISDIR(status.st_mode)) {
        error = "cannot use credentials directory " + directory + ": not a directory";
        return nullptr;
    }
    X509StorePtr trust(X509_STORE_new());
    if (!trust || !loadTrust(directory + "/ca.pem", trust.get(), error)) {
        return nullptr;
    }
    Identity node;
    if (!loadIdentity(directory + "/node.pem", directory + "/node.key", node, error)) {
        return nullptr;
    }
    std::shared_ptr<OpenSslContextStore> store(
        new OpenSslContextStore(directory, std::move(trust)));
    for (bool mode : {false, true}) {
        store->server_[mode] = makeContext(true, mode, node, store->trust_.get());
        store->nodeClient_[mode] = makeContext(false, mode, node, store->trust_.get());
        if (!store->server_[mode] || !store->nodeClient_[mode]) {
            error = "cannot build TLS contexts from " + directory + "/node.pem" + openSslReason();
            return nullptr;
        }
    }
    return store;
}

SSL_CTX* OpenSslContextStore::serverContext(bool mode) const {
    return server_[mode].get();
}

SSL_CTX* OpenSslContextStore::clientContext(const std::string& alias, bool mode,
                                            int32_t& errorCode) {
    if (!isApplicationName(alias)) {
        return nodeClient_[mode].get();
    }
    {
        std::lock_guard<std::mutex> lock(applicationsMutex_);
        auto found = applicationClients_.find(alias);
        if (found != applicationClients_.end()) {
            return found->second[mode].get();
        }
    }
    const std::string certificatePath = directory_ + "/" + alias + ".pem";
    const std::string keyPath = directory_ + "/" + alias + ".key";
    if (!fileExists(certificatePath) && !fileExists(keyPath)) {
        return nodeClient_[mode].get();
    }

    // Loaded without the lock: establishers of other applications need not wait for the files.
    // Two threads may both load the same application; the first to insert wins.
    OpenSslErrorScope errorScope;
    Identity identity;
    std::string ignored;
    ModeContexts contexts;
    if (loadIdentity(certificatePath, keyPath, identity, ignored)) {
        for (bool each : {false, true}) {
            contexts[each] = makeContext(false, each, identity, trust_.get());
        }
    }
    if (!contexts[false] || !contexts[true]) {
        // Presenting the node's identity instead would let one application pass for another.
        errorCode = RC_TLS_BAD_CREDENTIALS;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(applicationsMutex_);
    auto inserted = applicationClients_.emplace(alias, std::move(contexts)).first;
    return inserted->second[mode].get();
}

}  // namespace tarn::tls
