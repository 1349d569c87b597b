#include "host/windows/schannel_session.h"

#include <bcrypt.h>
#include <ncrypt.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "host/utf8_path.h"
#include "host/windows/wide_text.h"

namespace corvale::host::tls {

namespace {

// Whole records, in order, never replayed; buffers Schannel allocates.
constexpr ULONG kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                               ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                               ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
constexpr ULONG kServerFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                               ASC_REQ_CONFIDENTIALITY | ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM |
                               ASC_REQ_EXTENDED_ERROR;

// SSL_EXTRA_CERT_CHAIN_POLICY_PARA's check that an unknown root may pass (0x100, as wininet.h and
// the policy's documentation give it); MinGW's headers lack it.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
// And the one that leaves the server's name unchecked (SECURITY_FLAG_IGNORE_CERT_CN_INVALID).
constexpr DWORD kIgnoreName = 0x00001000;

// The bytes of an IP address written as one ("127.0.0.1", "::1", "[::1]"); empty for a name.
std::string AddressBytes(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
  }
  in6_addr v6;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
  }
  return "";
}

// Whether the certificate's subjectAltName lists `address` among its IP addresses: an address is
// matched against those alone, never a common name (RFC 6125), the same on every Windows.
bool NamesAddress(const CERT_CONTEXT* certificate, const std::string& address) {
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return false;
  }
  bool found = false;
  for (DWORD index = 0; index < names->cAltEntry; ++index) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[index];
    found = found || (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                      entry.IPAddress.cbData == address.size() &&
                      std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0);
  }
  LocalFree(names);
  return found;
}

class Store {
 public:
  explicit Store(HCERTSTORE store) : store_(store) {}
  ~Store() {
    if (store_ != nullptr) CertCloseStore(store_, 0);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  HCERTSTORE get() const { return store_; }

 private:
  HCERTSTORE store_;
};

// The CA certificates of a PEM file; nothing, with `error` set, when there are none to read.
std::optional<std::string> LoadCaFile(const std::string& caFile, HCERTSTORE into) {
  std::ifstream in(PathFromUtf8(caFile), std::ios::binary);
  if (!in) return "cannot read the CA file " + caFile;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static constexpr char kEnd[] = "-----END CERTIFICATE-----";
  int loaded = 0;
  for (auto begin = text.find(kBegin); begin != std::string::npos;
       begin = text.find(kBegin, begin + 1)) {
    const auto end = text.find(kEnd, begin);
    if (end == std::string::npos) break;
    const std::string block = text.substr(begin, end + std::strlen(kEnd) - begin);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(into, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++loaded;
    }
  }
  if (loaded == 0) return "the CA file " + caFile + " holds no certificate (PEM)";
  return std::nullopt;
}

std::string PolicyProblem(DWORD code, const std::string& host) {
  switch (code) {
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "it is not made out to " + host;
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "it has expired or is not valid yet";
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
      return "it does not chain to a root this machine trusts";
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "its chain cannot be built";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "it is not for a server";
    default:
      return ErrorText(code);
  }
}

// Deletes the key container an imported certificate's key was put in.
void DeleteImportedKey(const CERT_CONTEXT* certificate) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
    return;
  std::vector<BYTE> bytes(size);
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, bytes.data(),
                                         &size)) {
    return;
  }
  const auto* key = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
  if (key->dwProvType == 0) {
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE handle = 0;
    if (NCryptOpenStorageProvider(&provider, key->pwszProvName, 0) != ERROR_SUCCESS) return;
    if (NCryptOpenKey(provider, &handle, key->pwszContainerName, key->dwKeySpec,
                      key->dwFlags & NCRYPT_MACHINE_KEY_FLAG) == ERROR_SUCCESS) {
      NCryptDeleteKey(handle, 0);  // frees the handle too
    }
    NCryptFreeObject(provider);
    return;
  }
  HCRYPTPROV provider = 0;
  CryptAcquireContextW(&provider, key->pwszContainerName, key->pwszProvName, key->dwProvType,
                       CRYPT_DELETEKEYSET | (key->dwFlags & CRYPT_MACHINE_KEYSET));
}

}  // namespace

Credentials::~Credentials() {
  if (acquired_) FreeCredentialsHandle(&handle_);
  if (ownKey_ && server_) DeleteImportedKey(server_.get());
}

std::shared_ptr<Credentials> Credentials::ForClient(std::string* error) {
  std::shared_ptr<Credentials> made(new Credentials);
  SCHANNEL_CRED settings = {};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The server's certificate is checked here once the handshake is done, before a byte goes
  // through it; no client certificate is ever picked on the machine's behalf.
  settings.dwFlags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  const SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                nullptr, &settings, nullptr, nullptr, &made->handle_, nullptr);
  if (status != SEC_E_OK) {
    *error = "Schannel refused a client's credentials: " + ErrorText(static_cast<DWORD>(status));
    return nullptr;
  }
  made->acquired_ = true;
  return made;
}

std::shared_ptr<Credentials> Credentials::ForServer(Certificate certificate, bool ownKey,
                                                    std::string* error) {
  std::shared_ptr<Credentials> made(new Credentials);
  made->server_ = std::move(certificate);
  made->ownKey_ = ownKey;
  const CERT_CONTEXT* chosen[] = {made->server_.get()};
  SCHANNEL_CRED settings = {};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.cCreds = 1;
  settings.paCred = const_cast<PCCERT_CONTEXT*>(chosen);
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER;
  settings.dwFlags = SCH_USE_STRONG_CRYPTO;
  const SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_INBOUND,
                                nullptr, &settings, nullptr, nullptr, &made->handle_, nullptr);
  if (status != SEC_E_OK) {
    *error =
        "Schannel cannot serve with this certificate: " + ErrorText(static_cast<DWORD>(status)) +
        " (is its private key there?)";
    return nullptr;
  }
  made->acquired_ = true;
  return made;
}

Session::Session(std::shared_ptr<Credentials> credentials, const std::string& host)
    : credentials_(std::move(credentials)), host_(Wide(host)) {}

Session::~Session() {
  if (started_) DeleteSecurityContext(&context_);
}

bool Session::Fail(const std::string& doing, SECURITY_STATUS status) {
  // The code as well: it is what Schannel's documentation and its event log entries name.
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX",
                static_cast<unsigned long>(static_cast<DWORD>(status)));
  std::string text = ErrorText(static_cast<DWORD>(status));
  if (text == "error " + std::to_string(static_cast<DWORD>(status))) text = "Schannel error";
  error_ = doing + ": " + text + " (" + code + ")";
  return false;
}

Session::Step Session::Handshake(std::string& incoming, std::string& outgoing) {
  if (done_) return Step::kDone;
  const bool server = credentials_->Server();
  for (;;) {
    if ((server || started_) && incoming.empty()) return Step::kMore;
    SecBuffer in[2] = {
        {static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    SECURITY_STATUS status;
    if (server) {
      status =
          AcceptSecurityContext(credentials_->Handle(), started_ ? &context_ : nullptr, &inDesc,
                                kServerFlags, 0, &context_, &outDesc, &attributes, nullptr);
    } else {
      status = InitializeSecurityContextW(credentials_->Handle(), started_ ? &context_ : nullptr,
                                          host_.empty() ? nullptr : host_.data(), kClientFlags, 0,
                                          0, started_ ? &inDesc : nullptr, 0, &context_, &outDesc,
                                          &attributes, nullptr);
    }
    if (out[0].pvBuffer != nullptr) {
      // An alert on failure (ASC_REQ_EXTENDED_ERROR) goes too: the peer learns why.
      if (out[0].cbBuffer > 0)
        outgoing.append(static_cast<char*>(out[0].pvBuffer), out[0].cbBuffer);
      FreeContextBuffer(out[0].pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::kMore;
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      // SEC_I_INCOMPLETE_CREDENTIALS among them: this side has no certificate to show.
      Fail(server ? "AcceptSecurityContext" : "InitializeSecurityContext", status);
      return Step::kFailed;
    }
    const bool hadInput = server || started_;  // a client's first call reads nothing
    started_ = true;
    if (hadInput) {
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= incoming.size()) {
        incoming.erase(0, incoming.size() - in[1].cbBuffer);
      } else {
        incoming.clear();
      }
    }
    if (status == SEC_E_OK) {
      const SECURITY_STATUS sized =
          QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
      if (sized != SEC_E_OK) {
        Fail("Schannel gave no record sizes", sized);
        return Step::kFailed;
      }
      done_ = true;
      return Step::kDone;
    }
    // More of the peer's messages may be waiting behind the one just taken.
    if (incoming.empty()) return Step::kMore;
  }
}

bool Session::Encrypt(const char* data, std::size_t size, std::string& outgoing) {
  if (!done_) {
    error_ = "no TLS session";
    return false;
  }
  std::size_t at = 0;
  do {
    const std::size_t length = std::min<std::size_t>(size - at, sizes_.cbMaximumMessage);
    std::string record(sizes_.cbHeader + length + sizes_.cbTrailer, '\0');
    if (length > 0) std::memcpy(record.data() + sizes_.cbHeader, data + at, length);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(length), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + length},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context_, 0, &description, 0);
    if (status != SEC_E_OK) return Fail("cannot encrypt", status);
    outgoing.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    at += length;
  } while (at < size);
  return true;
}

Session::Read Session::Decrypt(std::string& incoming, std::string& plain) {
  bool any = false;
  while (done_ && !incoming.empty()) {
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(incoming.size()), SECBUFFER_DATA, incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) break;
    if (status == SEC_I_CONTEXT_EXPIRED) return Read::kClosed;
    if (status == SEC_I_RENEGOTIATE) {
      // A second handshake in the middle could bring another certificate than the one checked.
      error_ = "the peer asked for a new TLS handshake, which is refused";
      return Read::kFailed;
    }
    if (status != SEC_E_OK) {
      Fail("cannot decrypt", status);
      return Read::kFailed;
    }
    std::size_t extra = 0;
    for (const auto& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
        plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        any = true;
      }
      if (buffer.BufferType == SECBUFFER_EXTRA) extra = buffer.cbBuffer;
    }
    // What follows the record is at the end of what came in.
    incoming.erase(0, incoming.size() - std::min(extra, incoming.size()));
  }
  return any ? Read::kData : Read::kMore;
}

Certificate Session::PeerCertificate() {
  PCCERT_CONTEXT certificate = nullptr;
  if (!done_ || QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
                    SEC_E_OK) {
    return nullptr;
  }
  return Certificate(certificate);
}

std::string Sha256Hex(const CERT_CONTEXT* certificate) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return "";
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32] = {};
  const bool hashed =
      BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
      BCRYPT_SUCCESS(
          BCryptHashData(hash, certificate->pbCertEncoded, certificate->cbCertEncoded, 0)) &&
      BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!hashed) return "";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0xF];
  }
  return hex;
}

std::optional<std::string> ServerCertificateProblem(const CERT_CONTEXT* certificate,
                                                    const std::string& host,
                                                    const std::string& caFile) {
  if (certificate == nullptr) return "the server sent no certificate";
  Store authorities(caFile.empty() ? nullptr
                                   : CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  Store pool(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (!caFile.empty()) {
    if (authorities.get() == nullptr || pool.get() == nullptr) return "no room to check it";
    if (auto problem = LoadCaFile(caFile, authorities.get())) return problem;
    CertAddStoreToCollection(pool.get(), authorities.get(), 0, 0);
  }
  // The intermediate certificates the server sent along.
  if (pool.get() != nullptr && certificate->hCertStore != nullptr) {
    CertAddStoreToCollection(pool.get(), certificate->hCertStore, 0, 0);
  }
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, pool.get(), &chainPara, 0, nullptr,
                               &chain)) {
    return "its chain cannot be built: " + ErrorText(GetLastError());
  }
  std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> held(
      chain, CertFreeCertificateChain);
  if (!caFile.empty()) {
    // Trusted only through the CA file: the chain must end at one of its certificates, whatever
    // the machine's own roots say.
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return "it has no chain";
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    const CERT_CONTEXT* found = CertFindCertificateInStore(authorities.get(), X509_ASN_ENCODING, 0,
                                                           CERT_FIND_EXISTING, root, nullptr);
    if (found == nullptr) return "it does not chain to a certificate in " + caFile;
    CertFreeCertificateContext(found);
    const DWORD errors = chain->TrustStatus.dwErrorStatus & ~CERT_TRUST_IS_UNTRUSTED_ROOT;
    if ((errors & CERT_TRUST_IS_NOT_TIME_VALID) != 0) return PolicyProblem(CERT_E_EXPIRED, host);
    if (errors != 0) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%lx", static_cast<unsigned long>(errors));
      return std::string("its chain to ") + caFile + " does not hold (trust status " + code + ")";
    }
  }
  // Windows' policy matches a server's name; an address is matched here, as not every version
  // (nor Wine) reads the addresses of subjectAltName.
  const std::string address = AddressBytes(host);
  if (!address.empty() && !NamesAddress(certificate, address)) {
    return PolicyProblem(static_cast<DWORD>(CERT_E_CN_NO_MATCH), host);
  }
  std::wstring name = Wide(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = (caFile.empty() ? 0 : kIgnoreUnknownCa) | (address.empty() ? 0 : kIgnoreName);
  ssl.pwszServerName = name.data();
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
    return "it cannot be checked: " + ErrorText(GetLastError());
  }
  if (status.dwError != 0) return PolicyProblem(status.dwError, host);
  return std::nullopt;
}

}  // namespace corvale::host::tls
