// file_checks.cpp: the files the collector is given, checked when it starts rather than when
// the first alert needs them: TLS's CA, certificate and key, and the metrics file's directory.
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "collector/collector.h"

namespace kx::collect {

namespace {

// PEM files are small; anything larger is not one.
constexpr off_t kMaxPemBytes = 1024 * 1024;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// "--tls-key FILE", as the messages name a file.
std::string Named(const char* option, const std::string& file) {
    return std::string(option) + " " + LogText(file);
}

// The whole file, read as the collector's user; throws saying what to give instead.
std::string ReadPem(const char* option, const std::string& file, const char* wanted) {
    // Without blocking: a FIFO in its place must not hang the start.
    const Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    const auto unreadable = [&](int error) {
        return std::runtime_error(Named(option, file) + ": cannot read it (" +
                                  std::generic_category().message(error) + "); give " + wanted +
                                  ", readable by the collector's user");
    };
    if (!fd) throw unreadable(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxPemBytes)
        throw std::runtime_error(Named(option, file) + " is not a PEM file; give " + wanted);
    std::string text;
    if (const int error = ReadUpTo(fd.get(), static_cast<std::size_t>(info.st_size), text))
        throw unreadable(error);
    return text;
}

Bio Memory(const std::string& text) {
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// No passphrase is ever asked for: librelp could not give one either.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

// The first certificate of a PEM text; null when it holds none.
Cert ReadCertificate(const std::string& pem) {
    const Bio bio = Memory(pem);
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
}

}  // namespace

void CheckTlsFiles(const RelpTarget& target) {
    if (!target.tlsCa) return;
    const std::string ca = ReadPem("--tls-ca", *target.tlsCa, "the receiver's CA as PEM");
    if (!ReadCertificate(ca))
        throw std::runtime_error(Named("--tls-ca", *target.tlsCa) +
                                 " holds no PEM certificate; give the CA that signed the "
                                 "receiver's certificate, as PEM (openssl x509 -inform der "
                                 "converts a DER one)");
    if (!target.tlsCert || !target.tlsKey) return;
    const std::string certText =
        ReadPem("--tls-cert", *target.tlsCert, "the collector's certificate as PEM");
    const std::string keyText =
        ReadPem("--tls-key", *target.tlsKey, "the key of --tls-cert's certificate as PEM");
    const Cert cert = ReadCertificate(certText);
    if (!cert)
        throw std::runtime_error(Named("--tls-cert", *target.tlsCert) +
                                 " holds no PEM certificate; give the collector's certificate, "
                                 "as PEM");
    const Bio keyBio = Memory(keyText);
    const Key key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, NoPassphrase, nullptr)
                         : nullptr);
    if (!key)
        throw std::runtime_error(
            Named("--tls-key", *target.tlsKey) +
            (keyText.find("ENCRYPTED") != std::string::npos
                 ? " is protected by a passphrase, which the collector cannot give; write it "
                   "out without one (openssl pkey -in KEY -out NEW.key), readable by the "
                   "collector's user alone"
                 : " holds no PEM private key; give the key of --tls-cert's certificate, as "
                   "PEM"));
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        throw std::runtime_error(
            Named("--tls-key", *target.tlsKey) + " is not the key of the certificate " +
            Named("--tls-cert", *target.tlsCert) + "; give the key that belongs to it");
}

void CheckMetricsFile(const std::filesystem::path& file) {
    std::filesystem::path directory = file.parent_path();
    if (directory.empty()) directory = ".";
    const std::string named = Named("--metrics", file.string());
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw std::runtime_error(named + ": the directory " + LogText(directory.string()) +
                                 " does not exist; create it, or name a file in node_exporter's "
                                 "textfile directory");
    if (::stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throw std::runtime_error(named + " is a directory; name a file in it, such as " +
                                 LogText((file / "kxevent_collect.prom").string()));
    // The file is replaced by a rename: the directory itself must take new files.
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw std::runtime_error(
            named + ": the collector's user may not create files in " +
            LogText(directory.string()) + " (" + std::generic_category().message(errno) +
            "); give it that right (setfacl -m u:USER:rwx " + LogText(directory.string()) + ")");
}

}  // namespace kx::collect
