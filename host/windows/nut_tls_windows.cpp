// STARTTLS for the NUT server through Schannel. The certificate and its key come from a PFX file
// (its password, when it has one, in the file network.key names) or from the machine's
// certificate store ("cert:\LocalMachine\My\<SHA-1 thumbprint>", as PowerShell names it).
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <vector>

#include "host/nut/nut_transport.h"
#include "host/utf8_path.h"
#include "host/windows/schannel_session.h"
#include "host/windows/wide_text.h"

namespace corvale::nut {

namespace tls = host::tls;

class TlsContext {
 public:
  std::shared_ptr<tls::Credentials> credentials;
};

void TlsContextDeleter::operator()(TlsContext* context) const {
  delete context;
}

namespace {

using asio::ip::tcp;

using tls::kMostPendingBytes;
using tls::TlsFailure;

class SchannelTransport : public Transport {
 public:
  SchannelTransport(tcp::socket& socket, std::unique_ptr<tls::Session> session, std::string early)
      : socket_(socket), session_(std::move(session)), incoming_(std::move(early)) {}

  void Read(asio::mutable_buffer buffer, IoHandler done) override {
    for (;;) {
      if (!plain_.empty()) {
        const std::size_t count = std::min(plain_.size(), buffer.size());
        std::memcpy(buffer.data(), plain_.data(), count);
        plain_.erase(0, count);
        // Never inside the call: the caller's handler may read again.
        asio::post(socket_.get_executor(), [done = std::move(done), count] { done({}, count); });
        return;
      }
      const auto read = session_->Decrypt(incoming_, plain_);
      if (read == tls::Session::Read::kData) continue;
      if (read != tls::Session::Read::kMore || incoming_.size() > kMostPendingBytes) {
        const std::error_code failed =
            read == tls::Session::Read::kClosed ? asio::error::eof : TlsFailure();
        asio::post(socket_.get_executor(), [done = std::move(done), failed] { done(failed, 0); });
        return;
      }
      break;
    }
    socket_.async_read_some(asio::buffer(chunk_),
                            [this, buffer, done = std::move(done)](const std::error_code& failed,
                                                                   std::size_t count) mutable {
                              if (failed) return done(failed, 0);
                              incoming_.append(chunk_.data(), count);
                              Read(buffer, std::move(done));
                            });
  }

  void Write(asio::const_buffer buffer, IoHandler done) override {
    records_.clear();
    if (!session_->Encrypt(static_cast<const char*>(buffer.data()), buffer.size(), records_)) {
      asio::post(socket_.get_executor(), [done = std::move(done)] { done(TlsFailure(), 0); });
      return;
    }
    asio::async_write(
        socket_, asio::buffer(records_),
        [size = buffer.size(), done = std::move(done)](const std::error_code& failed, std::size_t) {
          done(failed, failed ? 0 : size);
        });
  }

 private:
  tcp::socket& socket_;
  std::unique_ptr<tls::Session> session_;
  std::array<char, 16 * 1024> chunk_{};
  std::string incoming_, plain_, records_;
};

// The server's side of a handshake in progress; it holds itself alive through its handlers.
struct Handshake : std::enable_shared_from_this<Handshake> {
  Handshake(tcp::socket& connection, std::shared_ptr<tls::Credentials> credentials,
            TlsHandshakeDone finished)
      : socket(connection),
        session(std::make_unique<tls::Session>(std::move(credentials), "")),
        done(std::move(finished)) {}

  void Step() {
    const auto step = session->Handshake(incoming, outgoing);
    if (step == tls::Session::Step::kFailed || incoming.size() > kMostPendingBytes) {
      const std::string why = step == tls::Session::Step::kFailed
                                  ? session->Error()
                                  : "the client sent more than " +
                                        std::to_string(kMostPendingBytes / 1024) +
                                        " KiB without completing the handshake";
      // The alert, if any, goes; the connection ends either way.
      if (outgoing.empty()) return done(nullptr, why);
      return Send([self = shared_from_this(), why] { self->done(nullptr, why); });
    }
    if (step == tls::Session::Step::kDone) {
      return Send([self = shared_from_this()] {
        self->done(std::make_unique<SchannelTransport>(self->socket, std::move(self->session),
                                                       std::move(self->incoming)),
                   "");
      });
    }
    Send([self = shared_from_this()] { self->Receive(); });
  }

  void Send(std::function<void()> then) {
    if (outgoing.empty()) return then();
    asio::async_write(socket, asio::buffer(outgoing),
                      [self = shared_from_this(), then = std::move(then)](
                          const std::error_code& failed, std::size_t) {
                        if (failed) return self->done(nullptr, failed.message());
                        self->outgoing.clear();
                        then();
                      });
  }

  void Receive() {
    socket.async_read_some(
        asio::buffer(chunk),
        [self = shared_from_this()](const std::error_code& failed, std::size_t count) {
          if (failed) return self->done(nullptr, failed.message());
          self->incoming.append(self->chunk.data(), count);
          self->Step();
        });
  }

  tcp::socket& socket;
  std::unique_ptr<tls::Session> session;
  TlsHandshakeDone done;
  std::array<char, 16 * 1024> chunk{};
  std::string incoming, outgoing;
};

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(host::PathFromUtf8(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "cert:\LocalMachine\My\THUMBPRINT": the certificate in the machine's store, with its key.
tls::Certificate FromMachineStore(const std::string& reference, std::string* error) {
  std::string rest = reference.substr(6);  // after "cert:\"
  for (char& c : rest) {
    if (c == '/') c = '\\';
  }
  const auto first = rest.find('\\');
  const auto last = rest.rfind('\\');
  std::string location = rest.substr(0, first);
  for (char& c : location) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (first == std::string::npos || first == last || location != "localmachine") {
    *error = "name a certificate of the machine's store as cert:\\LocalMachine\\My\\THUMBPRINT";
    return nullptr;
  }
  const std::wstring store = host::Wide(rest.substr(first + 1, last - first - 1));
  std::vector<BYTE> thumbprint;
  std::string digits;
  for (const char c : rest.substr(last + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t at = 0; at + 1 < digits.size(); at += 2) {
    thumbprint.push_back(static_cast<BYTE>(std::stoi(digits.substr(at, 2), nullptr, 16)));
  }
  if (thumbprint.size() != 20) {
    *error = "the thumbprint in " + reference + " is not a SHA-1 (40 hex digits)";
    return nullptr;
  }
  HCERTSTORE opened = CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
      store.c_str());
  if (opened == nullptr) {
    *error = "cannot open the machine's store: " + host::ErrorText(GetLastError());
    return nullptr;
  }
  CRYPT_HASH_BLOB hash = {static_cast<DWORD>(thumbprint.size()), thumbprint.data()};
  tls::Certificate found(
      CertFindCertificateInStore(opened, X509_ASN_ENCODING, 0, CERT_FIND_HASH, &hash, nullptr));
  CertCloseStore(opened, 0);  // the certificate keeps what it needs
  if (!found) *error = "there is no certificate " + reference;
  return found;
}

bool HasKey(const CERT_CONTEXT* certificate) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                           &size) ||
         CertGetCertificateContextProperty(certificate, CERT_KEY_CONTEXT_PROP_ID, nullptr, &size) ||
         CertGetCertificateContextProperty(certificate, CERT_NCRYPT_KEY_HANDLE_PROP_ID, nullptr,
                                           &size);
}

// The certificate with a key in a PFX file; `passwordFile`, when set, holds its password.
tls::Certificate FromPfx(const std::string& file, const std::string& passwordFile,
                         std::string* error) {
  auto bytes = ReadWholeFile(file);
  if (!bytes) {
    *error = "cannot read the certificate " + file;
    return nullptr;
  }
  std::wstring password;
  if (!passwordFile.empty()) {
    auto text = ReadWholeFile(passwordFile);
    if (!text) {
      *error = "cannot read the password file " + passwordFile;
      return nullptr;
    }
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    password = host::Wide(*text);
  }
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(bytes->size()),
                          reinterpret_cast<BYTE*>(bytes->data())};
  // Schannel signs in another process (LSASS), which opens the key as this process's account: the
  // key must be kept in a key set, as one held only in this process (PKCS12_NO_PERSIST_KEY) gives
  // SEC_E_NO_CREDENTIALS there. It goes to the service account's own key set (SYSTEM's: a folder
  // only SYSTEM may read), never the machine's, whatever the file asks; it is deleted again when
  // the server lets the certificate go.
  HCERTSTORE imported = PFXImportCertStore(&blob, password.c_str(), CRYPT_USER_KEYSET);
  SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
  SecureZeroMemory(bytes->data(), bytes->size());
  if (imported == nullptr) {
    // Some refusals (a key of a kind the system does not take) leave no error code.
    const DWORD code = GetLastError();
    *error = "cannot open the certificate " + file + ": " +
             (code != 0 ? host::ErrorText(code)
                        : std::string("not a PFX whose certificate and key this system can read")) +
             (passwordFile.empty() ? " (if it has a password, network.key names a file holding it)"
                                   : "");
    return nullptr;
  }
  tls::Certificate chosen;
  for (const CERT_CONTEXT* each = CertEnumCertificatesInStore(imported, nullptr); each != nullptr;
       each = CertEnumCertificatesInStore(imported, each)) {
    if (HasKey(each)) {
      chosen.reset(CertDuplicateCertificateContext(each));
      CertFreeCertificateContext(each);
      break;
    }
  }
  CertCloseStore(imported, 0);
  if (!chosen) *error = "the certificate " + file + " holds no private key";
  return chosen;
}

}  // namespace

TlsContextPointer LoadTlsContext(const std::string& certificate, const std::string& key,
                                 std::string* error) {
  std::string prefix = certificate.substr(0, 6);
  for (char& c : prefix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool fromStore = prefix == "cert:\\" || prefix == "cert:/";
  tls::Certificate chosen =
      fromStore ? FromMachineStore(certificate, error) : FromPfx(certificate, key, error);
  if (!chosen) return nullptr;
  auto credentials = tls::Credentials::ForServer(std::move(chosen), !fromStore, error);
  if (!credentials) return nullptr;
  TlsContextPointer loaded(new TlsContext);
  loaded->credentials = std::move(credentials);
  return loaded;
}

void StartTls(tcp::socket& socket, TlsContext& context, TlsHandshakeDone done) {
  std::make_shared<Handshake>(socket, context.credentials, std::move(done))->Receive();
}

}  // namespace corvale::nut
