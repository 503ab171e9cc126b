// TLS on Windows: SChannel through SSPI (secur32) over buffers, so the poller keeps its
// asynchronous WinSock socket and no call here waits on the network. The server's certificate
// is checked with crypt32 once the handshake is done: the chain must end at a root the system
// trusts (only cached URLs are used, so building it never blocks: the server must send every
// intermediate certificate itself) and the SSL policy must accept it for the server's DNS name.
// A server given as an IPv4 address is matched here against the certificate's IP address
// entries, as OpenSSL does on Linux; not every SSL policy knows them (Wine's does not).
#include "win32/backends.h"
// After windows.h: the SSPI headers want its types and SECURITY_WIN32 for the user-mode API.
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "text/ipv4.h"

namespace kc::win32 {

namespace {

// A record holds at most 16 KiB of data plus its header, padding and MAC.
constexpr size_t kInputSize = 32768;
constexpr size_t kOutputSize = 32768;
constexpr size_t kPlainSize = 32768;
constexpr size_t kHostSize = 256;

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

// The SSL policy's flag (wininet.h) that leaves the name to the caller.
#ifndef SECURITY_FLAG_IGNORE_CERT_CN_INVALID
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#endif

// Whether one of the certificate's IP address entries (subject alternative names) is address.
bool NamesAddress(PCCERT_CONTEXT cert, const uint8_t address[4]) {
  PCERT_EXTENSION extension = CertFindExtension(
      szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size) ||
      names == nullptr) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice != CERT_ALT_NAME_IP_ADDRESS) continue;
    found = CertIpEntryNames(address, entry.IPAddress.pbData, entry.IPAddress.cbData);
  }
  LocalFree(names);
  return found;
}

const char* ProtocolName(DWORD protocol) {
  if ((protocol & SP_PROT_TLS1_3_CLIENT) != 0) return "TLSv1.3";
  if ((protocol & SP_PROT_TLS1_2_CLIENT) != 0) return "TLSv1.2";
  if ((protocol & SP_PROT_TLS1_1_CLIENT) != 0) return "TLSv1.1";
  if ((protocol & SP_PROT_TLS1_0_CLIENT) != 0) return "TLSv1";
  return "unknown";
}

const char* CipherName(ALG_ID cipher) {
  switch (cipher) {
    case CALG_AES_128: return "AES-128";
    case CALG_AES_256: return "AES-256";
    case CALG_3DES: return "3DES";
    case CALG_RC4: return "RC4";
    default: return nullptr;
  }
}

class SchannelTls final : public TlsPort {
 public:
  ~SchannelTls() override { End(); }

  bool Begin(const char* host) override {
    End();
    std::snprintf(host_, sizeof host_, "%s", host);
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    // TLS 1.2 only: the older protocols are refused, and SChannel's TLS 1.3 needs another
    // credential form that older systems do not know.
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // The certificate is checked after the handshake, with the reason the user is told.
    // No client certificate is offered, and no weak cipher (3DES, RC4) is negotiated even where
    // an older system would still allow it inside TLS 1.2.
    cred.dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;
    SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &cred_, &expiry);
    if (status != SEC_E_OK) return Fail(status);
    haveCred_ = true;
    return true;
  }

  bool Feed(const char* data, size_t length) override {
    if (!haveCred_) return false;
    if (length > sizeof in_ - inLength_) return Fail(SEC_E_BUFFER_TOO_SMALL);
    std::memcpy(in_ + inLength_, data, length);
    inLength_ += length;
    return true;
  }

  TlsStep Handshake() override {
    if (!haveCred_) return TlsStep::kFailed;
    if (done_) return TlsStep::kDone;
    for (;;) {
      SecBuffer inBuffers[2] = {{static_cast<unsigned long>(inLength_), SECBUFFER_TOKEN, in_},
                                {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
      SecBuffer outBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, outBuffers};
      DWORD attributes = 0;
      TimeStamp expiry;
      SECURITY_STATUS status;
      const bool fed = haveContext_;  // the first call writes the hello and reads nothing
      if (!haveContext_) {
        status = InitializeSecurityContextA(&cred_, nullptr, host_, flags_, 0, 0, nullptr, 0,
                                            &context_, &outDesc, &attributes, &expiry);
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK) haveContext_ = true;
      } else {
        if (inLength_ == 0) return TlsStep::kMore;
        status = InitializeSecurityContextA(&cred_, &context_, host_, flags_, 0, 0, &inDesc, 0,
                                            nullptr, &outDesc, &attributes, &expiry);
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) return TlsStep::kMore;
      if (status == SEC_I_INCOMPLETE_CREDENTIALS && (flags_ & ISC_REQ_USE_SUPPLIED_CREDS) == 0) {
        // The server asks for a client certificate, which is optional for it unless it says
        // otherwise: the program has none, so the handshake goes on without one. The input
        // was not taken; the same call again, told to use only the credential given (it holds
        // no certificate), answers with an empty certificate list.
        if (outBuffers[0].pvBuffer != nullptr) FreeContextBuffer(outBuffers[0].pvBuffer);
        flags_ |= ISC_REQ_USE_SUPPLIED_CREDS;
        continue;
      }
      if (outBuffers[0].cbBuffer > 0 && outBuffers[0].pvBuffer != nullptr) {
        bool queued =
            Queue(static_cast<const char*>(outBuffers[0].pvBuffer), outBuffers[0].cbBuffer);
        FreeContextBuffer(outBuffers[0].pvBuffer);
        if (!queued) {
          Fail(SEC_E_BUFFER_TOO_SMALL);
          return TlsStep::kFailed;
        }
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        Fail(status);
        return TlsStep::kFailed;
      }
      if (fed) {
        if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer <= inLength_) {
          KeepLast(inBuffers[1].cbBuffer);
        } else {
          inLength_ = 0;
        }
      }
      if (status == SEC_E_OK) {
        status = QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (status != SEC_E_OK) {
          Fail(status);
          return TlsStep::kFailed;
        }
        done_ = true;
        return TlsStep::kDone;  // what is left in in_ is application data
      }
      if (inLength_ == 0) return TlsStep::kMore;
    }
  }

  void Describe(char* protocol, size_t protocolSize, char* cipher, size_t cipherSize) override {
    SecPkgContext_ConnectionInfo info{};
    if (!done_ ||
        QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
      std::snprintf(protocol, protocolSize, "%s", "unknown");
      std::snprintf(cipher, cipherSize, "%s", "unknown");
      return;
    }
    std::snprintf(protocol, protocolSize, "%s", ProtocolName(info.dwProtocol));
    const char* name = CipherName(info.aiCipher);
    if (name != nullptr) {
      std::snprintf(cipher, cipherSize, "%s", name);
    } else {
      std::snprintf(cipher, cipherSize, "cipher 0x%04X, %lu bits",
                    static_cast<unsigned>(info.aiCipher),
                    static_cast<unsigned long>(info.dwCipherStrength));
    }
  }

  void CheckPeer(TlsPeer* peer) override {
    *peer = TlsPeer{};
    peer->problem = TlsCertProblem::kOther;
    PCCERT_CONTEXT cert = nullptr;
    if (!done_ ||
        QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
      peer->code = -1;
      return;
    }
    Fingerprint(cert, peer->fingerprint, sizeof peer->fingerprint);
    peer->problem = Verify(cert, &peer->code);
    CertFreeCertificateContext(cert);
  }

  bool Write(const char* data, size_t length) override {
    if (!done_) return false;
    while (length > 0) {
      size_t chunk = length < sizes_.cbMaximumMessage ? length : sizes_.cbMaximumMessage;
      size_t total = sizes_.cbHeader + chunk + sizes_.cbTrailer;
      if (total > sizeof record_) return Fail(SEC_E_BUFFER_TOO_SMALL);
      std::memcpy(record_ + sizes_.cbHeader, data, chunk);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record_},
          {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record_ + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record_ + sizes_.cbHeader + chunk},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) return Fail(status);
      size_t sealed = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
      if (!Queue(record_, sealed)) return Fail(SEC_E_BUFFER_TOO_SMALL);
      data += chunk;
      length -= chunk;
    }
    return true;
  }

  int Read(char* out, size_t size) override {
    if (!done_) return kTlsReadFailed;
    while (plainLength_ == 0 && inLength_ > 0 && !closed_) {
      SecBuffer buffers[4] = {{static_cast<unsigned long>(inLength_), SECBUFFER_DATA, in_},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status == SEC_I_CONTEXT_EXPIRED) {
        closed_ = true;
        break;
      }
      if (status != SEC_E_OK) {
        Fail(status);
        return kTlsReadFailed;
      }
      SecBuffer* extra = nullptr;
      for (SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
          if (b.cbBuffer > sizeof plain_) {
            Fail(SEC_E_BUFFER_TOO_SMALL);
            return kTlsReadFailed;
          }
          std::memcpy(plain_, b.pvBuffer, b.cbBuffer);  // decrypted in place, inside in_
          plainLength_ = b.cbBuffer;
        } else if (b.BufferType == SECBUFFER_EXTRA) {
          extra = &b;
        }
      }
      if (extra != nullptr && extra->cbBuffer <= inLength_) {
        KeepLast(extra->cbBuffer);
      } else {
        inLength_ = 0;
      }
    }
    if (plainLength_ > 0) {
      size_t n = plainLength_ - plainAt_ < size ? plainLength_ - plainAt_ : size;
      std::memcpy(out, plain_ + plainAt_, n);
      plainAt_ += n;
      if (plainAt_ == plainLength_) plainLength_ = plainAt_ = 0;
      return static_cast<int>(n);
    }
    return closed_ ? kTlsReadClosed : 0;
  }

  size_t TakeOutput(char* out, size_t size) override {
    size_t n = outLength_ < size ? outLength_ : size;
    std::memcpy(out, out_, n);
    std::memmove(out_, out_ + n, outLength_ - n);
    outLength_ -= n;
    return n;
  }

  void Close() override {
    if (!done_) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&context_, &controlDesc) != SEC_E_OK) return;
    SecBuffer outBuffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuffer};
    DWORD attributes = 0;
    TimeStamp expiry;
    InitializeSecurityContextA(&cred_, &context_, host_, flags_, 0, 0, nullptr, 0, nullptr,
                               &outDesc, &attributes, &expiry);
    if (outBuffer.pvBuffer != nullptr) {
      Queue(static_cast<const char*>(outBuffer.pvBuffer), outBuffer.cbBuffer);
      FreeContextBuffer(outBuffer.pvBuffer);
    }
  }

  void End() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCred_) FreeCredentialsHandle(&cred_);
    haveContext_ = haveCred_ = done_ = closed_ = false;
    flags_ = kContextFlags;
    inLength_ = outLength_ = plainLength_ = plainAt_ = 0;
    SecureZeroMemory(plain_, sizeof plain_);
    SecureZeroMemory(record_, sizeof record_);
  }

  int ErrorCode() override { return static_cast<int>(error_); }

  void ErrorText(char* out, size_t size) override {
    std::snprintf(out, size, "SSPI status 0x%08lX", static_cast<unsigned long>(error_));
  }

 private:
  bool Fail(SECURITY_STATUS status) {
    error_ = status;
    return false;
  }

  bool Queue(const char* data, size_t length) {
    if (length > sizeof out_ - outLength_) return false;
    std::memcpy(out_ + outLength_, data, length);
    outLength_ += length;
    return true;
  }

  // Keeps the last `count` bytes of the input, which belong to the next record.
  void KeepLast(size_t count) {
    std::memmove(in_, in_ + (inLength_ - count), count);
    inLength_ = count;
  }

  static void Fingerprint(PCCERT_CONTEXT cert, char* out, size_t size) {
    BYTE digest[32];
    DWORD length = sizeof digest;
    if (!CryptHashCertificate2(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded,
                               digest, &length) ||
        length != sizeof digest || size < 3 * sizeof digest) {
      if (size > 0) out[0] = '\0';
      return;
    }
    for (DWORD i = 0; i < length; ++i) {
      std::snprintf(out + 3 * i, 4, i + 1 < length ? "%02X:" : "%02X", digest[i]);
    }
  }

  // The chain to a trusted root and the SSL policy for the server's name.
  TlsCertProblem Verify(PCCERT_CONTEXT cert, int* code) {
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain)) {
      *code = static_cast<int>(GetLastError());
      return TlsCertProblem::kOther;
    }
    // An IPv4 address is matched here; the policy judges the chain alone.
    uint8_t address[4];
    const bool byAddress = ParseIpv4(host_, address);
    wchar_t name[kHostSize];
    if (MultiByteToWideChar(CP_ACP, 0, host_, -1, name, kHostSize) == 0) name[0] = L'\0';
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = byAddress ? nullptr : name;
    ssl.fdwChecks = byAddress ? SECURITY_FLAG_IGNORE_CERT_CN_INVALID : 0;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    bool selfSigned = chain->cChain > 0 && chain->rgpChain[0]->cElement == 1 &&
                      CertCompareCertificateName(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                                                 &cert->pCertInfo->Issuer);
    // The chain's own verdict counts as well: not every policy implementation refuses a chain
    // that stops short of a root. Revocation is not checked (it would need the network).
    DWORD chainErrors =
        chain->TrustStatus.dwErrorStatus &
        ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                            CERT_TRUST_IS_OFFLINE_REVOCATION);
    CertFreeCertificateChain(chain);
    if (!checked) {
      *code = static_cast<int>(GetLastError());
      return TlsCertProblem::kOther;
    }
    *code = static_cast<int>(status.dwError);
    if (status.dwError == 0 && chainErrors != 0) {
      *code = static_cast<int>(chainErrors);
      if ((chainErrors & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
        return CertVerifyTimeValidity(nullptr, cert->pCertInfo) < 0 ? TlsCertProblem::kNotYetValid
                                                                    : TlsCertProblem::kExpired;
      }
      if ((chainErrors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) != 0) {
        return selfSigned ? TlsCertProblem::kSelfSigned : TlsCertProblem::kUntrusted;
      }
      return TlsCertProblem::kOther;
    }
    switch (status.dwError) {
      case 0:
        if (byAddress && !NamesAddress(cert, address)) {
          *code = static_cast<int>(CERT_E_CN_NO_MATCH);
          return TlsCertProblem::kWrongName;
        }
        return TlsCertProblem::kNone;
      case static_cast<DWORD>(CERT_E_EXPIRED):
        return CertVerifyTimeValidity(nullptr, cert->pCertInfo) < 0 ? TlsCertProblem::kNotYetValid
                                                                    : TlsCertProblem::kExpired;
      case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return TlsCertProblem::kWrongName;
      case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
      case static_cast<DWORD>(CERT_E_CHAINING):
        return selfSigned ? TlsCertProblem::kSelfSigned : TlsCertProblem::kUntrusted;
      default: return TlsCertProblem::kOther;
    }
  }

  char host_[kHostSize] = {};
  DWORD flags_ = kContextFlags;
  CredHandle cred_{};
  CtxtHandle context_{};
  bool haveCred_ = false;
  bool haveContext_ = false;
  bool done_ = false;
  bool closed_ = false;
  SecPkgContext_StreamSizes sizes_{};
  SECURITY_STATUS error_ = 0;
  char in_[kInputSize] = {};
  size_t inLength_ = 0;
  char out_[kOutputSize] = {};
  size_t outLength_ = 0;
  char plain_[kPlainSize] = {};
  size_t plainLength_ = 0;
  size_t plainAt_ = 0;
  char record_[kOutputSize] = {};
};

}  // namespace

std::unique_ptr<TlsPort> MakeTls() { return std::make_unique<SchannelTls>(); }

}  // namespace kc::win32
