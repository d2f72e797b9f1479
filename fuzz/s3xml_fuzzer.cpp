// Replies of the object store: the XML error document of a failed call and
// the bucket location document, whose region ends up in every signature.
//
// The first byte chooses what the rest is:
//   0  an error document;
//   1  a location document;
//   2  a Code and a Message text, written into an error document here (plain,
//      indented with a namespace, or as CDATA) and read back.

#include "fuzzsupport.h"
#include "qts3.h"
#include "s3signature.h"

#include <QMap>

#include <cstdint>

using FuzzSupport::InputReader;

namespace {
// AWS region names: two letters, one to three words, a number
// (us-east-1, cn-north-1, us-gov-west-1). The region goes into the
// credential scope of every Authorization header and into the signing-key
// cache, so whatever passes as one must be plain header text.
void checkRegion(const QByteArray &region)
{
    if (!QtS3::isPlausibleRegion(region))
        return;
    FUZZ_REQUIRE(region.size() >= 6);
    for (const char character : region)
        FUZZ_REQUIRE((character >= 'a' && character <= 'z') ||
                     (character >= '0' && character <= '9') || character == '-');
    FUZZ_REQUIRE(region.at(2) == '-');
    FUZZ_REQUIRE(region.back() >= '0' && region.back() <= '9');
}

void fuzzErrorDocument(const QByteArray &body)
{
    const QMap<QString, QString> document = flattenXml(body);
    // Element names are never empty; a document without elements gives nothing.
    FUZZ_REQUIRE(!document.contains(QString()));
}

void fuzzLocationDocument(const QByteArray &body)
{
    const QString constraint = flattenXml(body).value(QStringLiteral("LocationConstraint"));
    checkRegion(constraint.toUtf8());
    checkRegion(constraint.toLatin1());
}

// Characters an XML 1.0 document can carry as text; a carriage return is
// left out because the reader rightly turns it into a line feed.
bool isXmlText(const QString &text)
{
    for (const QChar character : text) {
        const char16_t code = character.unicode();
        if (code == '\r' || (code < 0x20 && code != '\t' && code != '\n') || code == 0xFFFE ||
            code == 0xFFFF || character.isSurrogate())
            return false;
    }
    return true;
}

QString escaped(const QString &text)
{
    QString result = text.toHtmlEscaped();
    return result.replace(QLatin1Char('\''), QLatin1String("&apos;"));
}

void fuzzErrorRoundTrip(InputReader &input)
{
    const uint8_t style = input.byte();
    const QString code = QString::fromUtf8(input.bytes(input.byte()));
    const QString message = QString::fromUtf8(input.rest());
    if (!isXmlText(code) || !isXmlText(message))
        return;
    QString document;
    switch (style % 3) {
    case 0:
        document = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>%1</Code>"
                                  "<Message>%2</Message><RequestId>4442587FB7D0A2F9</RequestId>"
                                  "</Error>")
                       .arg(escaped(code), escaped(message));
        break;
    case 1:
        document = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<Error xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
                                  "  <Code>%1</Code>\n  <Message>%2</Message>\n"
                                  "  <HostId>eftixk72aD6Ap51T</HostId>\n</Error>\n")
                       .arg(escaped(code), escaped(message));
        break;
    default:
        // CDATA cannot hold its own end marker.
        if (code.contains(QLatin1String("]]>")) || message.contains(QLatin1String("]]>")))
            return;
        document = QStringLiteral("<Error><Code><![CDATA[%1]]></Code><Message><![CDATA[%2]]>"
                                  "</Message></Error>")
                       .arg(code, message);
        break;
    }
    const QMap<QString, QString> read = flattenXml(document.toUtf8());
    FUZZ_REQUIRE(read.contains(QStringLiteral("Error")));
    FUZZ_REQUIRE(read.value(QStringLiteral("Code")) == code);
    FUZZ_REQUIRE(read.value(QStringLiteral("Message")) == message);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = (FuzzSupport::silenceLogging(), true);
    Q_UNUSED(initialised)
    InputReader input(data, size);
    switch (input.byte() % 3) {
    case 0:
        fuzzErrorDocument(input.rest());
        break;
    case 1:
        fuzzLocationDocument(input.rest());
        break;
    default:
        fuzzErrorRoundTrip(input);
        break;
    }
    return 0;
}
