// trust_cert add|remove CERT.der: puts a test certificate into the current
// user's trusted root store of the prefix, or takes it out again, so that a
// loopback TLS server with that certificate is trusted by WinINet.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: trust_cert add|remove CERT.der\n");
    return 2;
  }
  const std::string verb = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fprintf(stderr, "trust_cert: cannot read %s\n", argv[2]);
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
  if (store == nullptr) {
    std::fprintf(stderr, "trust_cert: no root store (%lu)\n", GetLastError());
    return 1;
  }
  PCCERT_CONTEXT added = nullptr;
  BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &added);
  if (ok && verb == "remove") {
    ok = CertDeleteCertificateFromStore(added);  // frees the context
    added = nullptr;
  }
  const DWORD error = GetLastError();
  if (added != nullptr) CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  if (!ok) {
    std::fprintf(stderr, "trust_cert: %s failed (%lu)\n", verb.c_str(), error);
    return 1;
  }
  return 0;
}
