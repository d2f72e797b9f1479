#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QUrl>

// The pieces of AWS Signature Version 4 as the S3 client uses them. They are
// free functions so that any request, also one with headers the client never
// sends itself, can be put through the same canonicalisation.
namespace S3Signature {

using Header = QPair<QByteArray, QByteArray>; // name as sent, value as sent

constexpr char algorithm[] = "AWS4-HMAC-SHA256";

// 20130524T000000Z and 20130524, from a UTC date-time.
QByteArray timestampText(const QDateTime &utcTime);
QByteArray dateText(const QDateTime &utcTime);

QByteArray sha256Hex(const QByteArray &data);
QByteArray hmacSha256(const QByteArray &key, const QByteArray &message);

// Every byte except A-Z a-z 0-9 - _ . ~ and the bytes in keep becomes %XX.
QByteArray percentEncode(const QByteArray &bytes, const QByteArray &keep = QByteArray());

// The decoded path of the URL with every byte other than the unreserved ones
// and "/" percent-encoded; "/" for an empty path.
QByteArray canonicalUri(const QUrl &url);

// The query (as it stands in the URL, percent-encoded) in canonical form:
// parameters sorted by name, then value; each name and value encoded with
// "%" kept, so escapes already present are not encoded twice; a parameter
// without "=" gets an empty value.
QByteArray canonicalQuery(const QByteArray &query);

// A header value with white space trimmed at both ends and every inner run
// of white space reduced to one space, as the store computes it.
QByteArray canonicalHeaderValue(const QByteArray &value);

// "name:value\n" lines, lower-cased names sorted in byte order.
QByteArray canonicalHeaders(const QList<Header> &headers);
// The lower-cased names in the same order, joined by ";".
QByteArray signedHeaderList(const QList<Header> &headers);

QByteArray canonicalRequest(const QByteArray &verb, const QUrl &url, const QList<Header> &headers,
                            const QByteArray &payloadHashHex);

QByteArray credentialScope(const QDateTime &utcTime, const QByteArray &region,
                           const QByteArray &service);

QByteArray stringToSign(const QDateTime &utcTime, const QByteArray &region,
                        const QByteArray &service, const QByteArray &canonicalRequestText);

// The key derived from the secret for one date, region and service.
QByteArray signingKey(const QByteArray &secretAccessKey, const QDateTime &utcTime,
                      const QByteArray &region, const QByteArray &service);

// Lower-case hexadecimal HMAC-SHA256 of the string to sign.
QByteArray signature(const QByteArray &signingKeyBytes, const QByteArray &stringToSignText);

QByteArray authorizationHeader(const QByteArray &accessKeyId, const QDateTime &utcTime,
                               const QByteArray &region, const QByteArray &service,
                               const QByteArray &signedHeaders, const QByteArray &signatureHex);

} // namespace S3Signature

// Turns an XML document into a map from element name to the text it holds.
// Later elements of the same name replace earlier ones. A body that is not
// XML logs "xml err" and keeps what was read up to the fault.
QMap<QString, QString> flattenXml(const QByteArray &xml);
