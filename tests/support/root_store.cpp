// root-store: puts a test certificate authority among the machine's trusted roots, or takes it
// out again, as an administrator's certificate tool would; the HTTPS tests under Wine use it. The
// registry store itself is opened: through the system store (a collection) a removal is reported
// done under Wine and changes nothing.
//   root-store add|remove CERTIFICATE.pem
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> ReadPem(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string pem = text.str();
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr)) {
    return {};
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                       nullptr, nullptr);
  der.resize(size);
  return der;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring action = argc == 3 ? argv[1] : L"";
  if (action != L"add" && action != L"remove") {
    std::fputs("usage: root-store add|remove CERTIFICATE.pem\n", stderr);
    return 2;
  }
  const std::vector<BYTE> der = ReadPem(argv[2]);
  PCCERT_CONTEXT certificate =
      der.empty() ? nullptr : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (certificate == nullptr) {
    std::fputs("root-store: the file holds no PEM certificate\n", stderr);
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "root-store: cannot open the machine's root store (error %lu)\n", GetLastError());
    return 1;
  }
  bool done;
  if (action == L"add") {
    done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  } else {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    done = found == nullptr || CertDeleteCertificateFromStore(found);
  }
  if (!done) std::fprintf(stderr, "root-store: cannot %ls the authority (error %lu)\n", action.c_str(), GetLastError());
  CertFreeCertificateContext(certificate);
  CertCloseStore(store, 0);
  return done ? 0 : 1;
}
