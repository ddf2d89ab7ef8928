#include "platform/executabletrust.h"

#include <QDir>

#include <qt_windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>

namespace ExecutableTrust {

namespace {

// The subject name of the certificate that signed the file ("" when none can be read).
QString signerName(const std::wstring &file)
{
    HCERTSTORE store = nullptr;
    HCRYPTMSG msg = nullptr;
    DWORD encoding = 0, contentType = 0, formatType = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &store, &msg,
                          nullptr))
        return QString();
    QString name;
    DWORD size = 0;
    if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size > 0) {
        std::string buffer(size, '\0');
        auto *info = reinterpret_cast<PCMSG_SIGNER_INFO>(&buffer[0]);
        if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, info, &size)) {
            CERT_INFO certInfo{};
            certInfo.Issuer = info->Issuer;
            certInfo.SerialNumber = info->SerialNumber;
            PCCERT_CONTEXT cert = CertFindCertificateInStore(store, encoding, 0, CERT_FIND_SUBJECT_CERT, &certInfo,
                                                             nullptr);
            if (cert) {
                wchar_t text[512] = {};
                if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, 512) > 1)
                    name = QString::fromWCharArray(text);
                CertFreeCertificateContext(cert);
            }
        }
    }
    CryptMsgClose(msg);
    CertCloseStore(store, 0);
    return name;
}

} // namespace

bool mayRun(const QString &path, const QString &publisher, QString *why)
{
    if (publisher.isEmpty())
        return true;
    const std::wstring file = QDir::toNativeSeparators(path).toStdWString();
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (status != ERROR_SUCCESS) {
        *why = QStringLiteral("%1 has no valid Authenticode signature (0x%2)")
                   .arg(QDir::toNativeSeparators(path))
                   .arg(quint32(status), 8, 16, QLatin1Char('0'));
        return false;
    }
    const QString signer = signerName(file);
    if (signer.compare(publisher, Qt::CaseInsensitive) != 0) {
        *why = QStringLiteral("%1 is signed by \"%2\", not by \"%3\"")
                   .arg(QDir::toNativeSeparators(path), signer, publisher);
        return false;
    }
    return true;
}

} // namespace ExecutableTrust
