#include "s3signature.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QXmlStreamReader>

#include <algorithm>

namespace S3Signature {

namespace {

bool isUnreserved(char character)
{
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') || character == '-' || character == '_' ||
           character == '.' || character == '~';
}

struct QueryParameter
{
    QByteArray name;
    QByteArray value;
};

} // namespace

// QDateTime::toString(format) writes the digits of the system locale (from
// LANG or LC_ALL), which are not ASCII in Arabic or Persian locales; the store
// accepts only ASCII digits.
QByteArray timestampText(const QDateTime &utcTime)
{
    return QLocale::c()
        .toString(utcTime.toUTC(), QStringLiteral("yyyyMMdd'T'HHmmss'Z'"))
        .toLatin1();
}

QByteArray dateText(const QDateTime &utcTime)
{
    return QLocale::c().toString(utcTime.toUTC(), QStringLiteral("yyyyMMdd")).toLatin1();
}

QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QByteArray hmacSha256(const QByteArray &key, const QByteArray &message)
{
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

QByteArray percentEncode(const QByteArray &bytes, const QByteArray &keep)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    QByteArray encoded;
    encoded.reserve(bytes.size() * 3);
    for (char character : bytes) {
        if (isUnreserved(character) || keep.contains(character)) {
            encoded.append(character);
        } else {
            const auto byte = static_cast<unsigned char>(character);
            encoded.append('%');
            encoded.append(hexDigits[byte >> 4]);
            encoded.append(hexDigits[byte & 0x0F]);
        }
    }
    return encoded;
}

QByteArray canonicalUri(const QUrl &url)
{
    const QByteArray path = url.path(QUrl::FullyDecoded).toUtf8();
    if (path.isEmpty())
        return QByteArrayLiteral("/");
    return percentEncode(path, QByteArrayLiteral("/"));
}

QByteArray canonicalQuery(const QByteArray &query)
{
    if (query.isEmpty())
        return QByteArray();
    QList<QueryParameter> parameters;
    const QList<QByteArray> pieces = query.split('&');
    for (const QByteArray &piece : pieces) {
        const int equals = piece.indexOf('=');
        QueryParameter parameter;
        parameter.name =
            percentEncode(equals < 0 ? piece : piece.left(equals), QByteArrayLiteral("%"));
        parameter.value = equals < 0 ? QByteArray() : percentEncode(piece.mid(equals + 1), "%=");
        parameters.append(parameter);
    }
    // By name first: sorting whole "name=value" texts would put "a-b=1"
    // before "a=2", which the store does not.
    std::sort(parameters.begin(), parameters.end(),
              [](const QueryParameter &left, const QueryParameter &right) {
                  if (left.name != right.name)
                      return left.name < right.name;
                  return left.value < right.value;
              });
    QByteArray canonical;
    for (const QueryParameter &parameter : parameters) {
        if (!canonical.isEmpty())
            canonical.append('&');
        canonical.append(parameter.name);
        canonical.append('=');
        canonical.append(parameter.value);
    }
    return canonical;
}

QByteArray canonicalHeaderValue(const QByteArray &value)
{
    // The store collapses inner runs of white space before it signs; a value
    // signed as it stands would be refused.
    return value.simplified();
}

namespace {
QList<Header> lowerCasedSorted(const QList<Header> &headers)
{
    QList<Header> sorted;
    for (const Header &header : headers)
        sorted.append({header.first.toLower(), canonicalHeaderValue(header.second)});
    std::stable_sort(sorted.begin(), sorted.end(), [](const Header &left, const Header &right) {
        return left.first < right.first;
    });
    return sorted;
}
} // namespace

QByteArray canonicalHeaders(const QList<Header> &headers)
{
    QByteArray block;
    for (const Header &header : lowerCasedSorted(headers)) {
        block.append(header.first);
        block.append(':');
        block.append(header.second);
        block.append('\n');
    }
    return block;
}

QByteArray signedHeaderList(const QList<Header> &headers)
{
    QByteArrayList names;
    for (const Header &header : lowerCasedSorted(headers))
        names.append(header.first);
    return names.join(';');
}

QByteArray canonicalRequest(const QByteArray &verb, const QUrl &url, const QList<Header> &headers,
                            const QByteArray &payloadHashHex)
{
    const QByteArrayList parts{verb,
                               canonicalUri(url),
                               canonicalQuery(url.query(QUrl::FullyEncoded).toLatin1()),
                               canonicalHeaders(headers),
                               signedHeaderList(headers),
                               payloadHashHex};
    return parts.join('\n');
}

QByteArray credentialScope(const QDateTime &utcTime, const QByteArray &region,
                           const QByteArray &service)
{
    return dateText(utcTime) + '/' + region + '/' + service + "/aws4_request";
}

QByteArray stringToSign(const QDateTime &utcTime, const QByteArray &region,
                        const QByteArray &service, const QByteArray &canonicalRequestText)
{
    return QByteArray(algorithm) + '\n' + timestampText(utcTime) + '\n' +
           credentialScope(utcTime, region, service) + '\n' + sha256Hex(canonicalRequestText);
}

QByteArray signingKey(const QByteArray &secretAccessKey, const QDateTime &utcTime,
                      const QByteArray &region, const QByteArray &service)
{
    const QByteArray dateKey = hmacSha256("AWS4" + secretAccessKey, dateText(utcTime));
    const QByteArray regionKey = hmacSha256(dateKey, region);
    const QByteArray serviceKey = hmacSha256(regionKey, service);
    return hmacSha256(serviceKey, QByteArrayLiteral("aws4_request"));
}

QByteArray signature(const QByteArray &signingKeyBytes, const QByteArray &stringToSignText)
{
    return hmacSha256(signingKeyBytes, stringToSignText).toHex();
}

QByteArray authorizationHeader(const QByteArray &accessKeyId, const QDateTime &utcTime,
                               const QByteArray &region, const QByteArray &service,
                               const QByteArray &signedHeaders, const QByteArray &signatureHex)
{
    return QByteArray(algorithm) + " Credential=" + accessKeyId + '/' +
           credentialScope(utcTime, region, service) + ", SignedHeaders=" + signedHeaders +
           ", Signature=" + signatureHex;
}

} // namespace S3Signature

QMap<QString, QString> flattenXml(const QByteArray &xml)
{
    QMap<QString, QString> values;
    QXmlStreamReader reader(xml);
    QString currentName;
    // Text counts only while its element is open: the white space of an
    // indented document, between a closing tag and the next opening one,
    // must not replace the value just read.
    bool elementOpen = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            currentName = reader.name().toString();
            values.insert(currentName, QString());
            elementOpen = true;
        } else if (token == QXmlStreamReader::EndElement) {
            elementOpen = false;
        } else if (token == QXmlStreamReader::Characters && elementOpen) {
            values[currentName].append(reader.text());
        }
    }
    if (reader.hasError())
        qDebug() << "xml err";
    return values;
}
