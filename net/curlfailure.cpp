#include "net/curlfailure.h"

#include <QByteArray>

namespace {

// The numbers of OpenSSL's certificate verification results (X509_V_ERR_*), fixed by its
// interface; the result names why a certificate failed. Other TLS libraries number differently.
enum OpenSslVerifyResult : long {
    VerifiedOk = 0,
    Unspecified = 1, // what the library reports when its own host name check failed
    NotYetValid = 9,
    Expired = 10,
    HostNameMismatch = 62,
};

bool tlsIsOpenSsl()
{
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info->ssl_version && QByteArray(info->ssl_version).startsWith("OpenSSL");
}

FetchFailure failureOfCertificate(CURL* easy)
{
    if (!tlsIsOpenSsl())
        return FetchFailure::CertificateUntrusted;
    long verified = VerifiedOk;
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verified);
    switch (verified) {
    case Expired:
        return FetchFailure::CertificateExpired;
    case NotYetValid:
        return FetchFailure::CertificateNotYetValid;
    case VerifiedOk:
    case Unspecified:
    case HostNameMismatch:
        // The chain was good; the library's own check of the name failed.
        return FetchFailure::CertificateOtherName;
    default:
        // Self-signed, an unknown issuer, or anything else no trusted authority vouches for.
        return FetchFailure::CertificateUntrusted;
    }
}

} // namespace

namespace CurlFailure {

FetchFailure of(CURLcode code, CURL* easy, bool sawStatus)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return FetchFailure::NameNotFound;
    case CURLE_COULDNT_CONNECT:
        return FetchFailure::Unreachable;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
        return sawStatus ? FetchFailure::CutShort : FetchFailure::NoAnswer;
    case CURLE_GOT_NOTHING:
        return FetchFailure::NoAnswer;
    case CURLE_PEER_FAILED_VERIFICATION:
        return failureOfCertificate(easy);
    case CURLE_SSL_CONNECT_ERROR:
        return FetchFailure::TlsHandshake;
    case CURLE_SSL_CACERT_BADFILE:
        return FetchFailure::CertificateStoreUnreadable;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
        return FetchFailure::NotHttp;
    case CURLE_OUT_OF_MEMORY:
        return FetchFailure::OutOfMemory;
    case CURLE_OPERATION_TIMEDOUT:
        return FetchFailure::Stalled;
    default:
        return FetchFailure::Other;
    }
}

} // namespace CurlFailure
