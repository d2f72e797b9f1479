#include "adapterfolder.h"

#include "echoadapter.h"
#include "emulatedflash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSet>

namespace {

class ConfigurationReader
{
public:
    ConfigurationReader(const QJsonObject &object, const QString &where)
        : m_object(object), m_where(where)
    {
    }

    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    void fail(const QString &message)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1: %2").arg(m_where, message);
    }
    bool has(const QString &key) const { return m_object.contains(key); }

    // A number given as a JSON number, decimal text or "0x…" text.
    qint64 number(const QString &key, qint64 fallback, qint64 minimum, qint64 maximum)
    {
        m_used.insert(key);
        const QJsonValue value = m_object.value(key);
        if (value.isUndefined() || value.isNull())
            return fallback;
        qint64 result = 0;
        bool ok = false;
        if (value.isDouble()) {
            const double real = value.toDouble();
            result = qint64(real);
            ok = double(result) == real;
        } else if (value.isString()) {
            const QString text = value.toString().trimmed();
            if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
                result = text.mid(2).toLongLong(&ok, 16);
            else
                result = text.toLongLong(&ok, 10);
        }
        if (!ok || result < minimum || result > maximum) {
            fail(QStringLiteral("\"%1\" must be a number from %2 to %3")
                     .arg(key)
                     .arg(minimum)
                     .arg(maximum));
            return fallback;
        }
        return result;
    }

    bool boolean(const QString &key, bool fallback)
    {
        m_used.insert(key);
        const QJsonValue value = m_object.value(key);
        if (value.isUndefined() || value.isNull())
            return fallback;
        if (!value.isBool()) {
            fail(QStringLiteral("\"%1\" must be true or false").arg(key));
            return fallback;
        }
        return value.toBool();
    }

    QString text(const QString &key, const QString &fallback = QString())
    {
        m_used.insert(key);
        const QJsonValue value = m_object.value(key);
        if (value.isUndefined() || value.isNull())
            return fallback;
        if (!value.isString()) {
            fail(QStringLiteral("\"%1\" must be text").arg(key));
            return fallback;
        }
        return value.toString();
    }

    // Hexadecimal text; white space, ':' and '-' between digits are allowed.
    QByteArray hex(const QString &key)
    {
        const QString value = text(key);
        QString digits;
        for (const QChar character : value) {
            if (!character.isSpace() && character != ':' && character != '-')
                digits.append(character);
        }
        if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            digits = digits.mid(2);
        const QByteArray bytes = QByteArray::fromHex(digits.toLatin1());
        if (digits.size() % 2 != 0 || bytes.size() * 2 != digits.size()) {
            fail(QStringLiteral("\"%1\" must be hexadecimal text").arg(key));
            return QByteArray();
        }
        return bytes;
    }

    QJsonObject object(const QString &key)
    {
        m_used.insert(key);
        const QJsonValue value = m_object.value(key);
        if (!value.isUndefined() && !value.isNull() && !value.isObject())
            fail(QStringLiteral("\"%1\" must be an object").arg(key));
        return value.toObject();
    }

    // Misspelt keys would silently switch nothing on; refuse them.
    void refuseUnknownKeys()
    {
        for (const QString &key : m_object.keys()) {
            if (!m_used.contains(key))
                fail(QStringLiteral("unknown key \"%1\"").arg(key));
        }
    }

private:
    QJsonObject m_object;
    QString m_where;
    QString m_error;
    QSet<QString> m_used;
};

constexpr qint64 maximumDelayMs = 600000;

EmulatedAdapter::Faults readFaults(ConfigurationReader &faults)
{
    EmulatedAdapter::Faults result;
    constexpr qint64 maximumReport = 100000000;
    result.noReplyAtReport =
        int(faults.number(QStringLiteral("noReplyAtReport"), 0, 0, maximumReport));
    result.unplugAtReport =
        int(faults.number(QStringLiteral("unplugAtReport"), 0, 0, maximumReport));
    result.readErrorAtReport =
        int(faults.number(QStringLiteral("readErrorAtReport"), 0, 0, maximumReport));
    result.writeErrorAtReport =
        int(faults.number(QStringLiteral("writeErrorAtReport"), 0, 0, maximumReport));
    result.shortReplyBytes = int(faults.number(QStringLiteral("shortReplyBytes"), 0, 0, 64));
    result.eraseRefused = faults.boolean(QStringLiteral("eraseRefused"), false);
    result.eraseRefusedAtErase =
        int(faults.number(QStringLiteral("eraseRefusedAtErase"), 0, 0, maximumReport));
    result.wrongEchoAtChunk =
        int(faults.number(QStringLiteral("wrongEchoAtChunk"), 0, 0, maximumReport));
    faults.refuseUnknownKeys();
    return result;
}

} // namespace

namespace AdapterFolder {

std::unique_ptr<EmulatedAdapter> fromConfiguration(const QJsonObject &configuration,
                                                   const QString &name, QString *error)
{
    ConfigurationReader reader(configuration, name);
    const QString model = reader.text(QStringLiteral("model"));
    std::unique_ptr<EmulatedAdapter> adapter;
    if (model == QLatin1String("echo")) {
        const int vendorId =
            int(reader.number(QStringLiteral("vendorId"), EchoAdapter::defaultVendorId, 0, 0xFFFF));
        const int productId = int(
            reader.number(QStringLiteral("productId"), EchoAdapter::defaultProductId, 0, 0xFFFF));
        const int interface = int(reader.number(QStringLiteral("interface"), -1, -1, 255));
        adapter =
            std::make_unique<EchoAdapter>(name, quint16(vendorId), quint16(productId), interface);
    } else if (model == QLatin1String("composite")) {
        const int vendorId =
            int(reader.number(QStringLiteral("vendorId"), EchoAdapter::defaultVendorId, 0, 0xFFFF));
        const int productId = int(reader.number(QStringLiteral("productId"),
                                                EchoAdapter::defaultProductId + 1, 0, 0xFFFF));
        reader.number(QStringLiteral("interface"), 0, 0, 0);
        adapter =
            std::make_unique<CompositeEchoAdapter>(name, quint16(vendorId), quint16(productId));
    } else {
        reader.fail(QStringLiteral("\"model\" must be \"T5\", \"K3\", \"M7\", \"echo\" or "
                                   "\"composite\", not \"%1\"")
                        .arg(model));
    }
    if (adapter) {
        adapter->setAppearAfterMs(
            int(reader.number(QStringLiteral("appearAfterMs"), 0, 0, maximumDelayMs)));
        adapter->setReplyDelayMs(
            int(reader.number(QStringLiteral("replyDelayMs"), 0, 0, maximumDelayMs)));
        ConfigurationReader faults(reader.object(QStringLiteral("faults")),
                                   name + QStringLiteral(" faults"));
        adapter->setFaults(readFaults(faults));
        if (faults.failed())
            reader.fail(faults.error());
        reader.refuseUnknownKeys();
    }
    if (reader.failed()) {
        if (error)
            *error = reader.error();
        return nullptr;
    }
    return adapter;
}

std::unique_ptr<EmulatedAdapter> load(const QString &folder, QString *error)
{
    const QDir directory(folder);
    const QString name = QFileInfo(directory.absolutePath()).fileName();
    QFile file(directory.filePath(QString::fromLatin1(configurationFileName)));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
        return nullptr;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("%1 is not a JSON object: %2")
                         .arg(file.fileName(), parseError.errorString());
        return nullptr;
    }
    std::unique_ptr<EmulatedAdapter> adapter = fromConfiguration(document.object(), name, error);
    if (!adapter)
        return nullptr;
    if (adapter->flash()) {
        const QString flashPath = directory.filePath(QString::fromLatin1(flashFileName));
        QFile flashFile(flashPath);
        if (flashFile.exists()) {
            if (!flashFile.open(QIODevice::ReadOnly)) {
                if (error)
                    *error = QStringLiteral("cannot read %1: %2")
                                 .arg(flashPath, flashFile.errorString());
                return nullptr;
            }
            const QByteArray bytes = flashFile.readAll();
            if (!adapter->setFlashContents(bytes)) {
                if (error)
                    *error = QStringLiteral("%1 holds %2 bytes, the adapter's flash %3")
                                 .arg(flashPath)
                                 .arg(bytes.size())
                                 .arg(adapter->flash()->size());
                return nullptr;
            }
        }
        adapter->setFlashFile(flashPath);
    }
    return adapter;
}

bool write(const QString &folder, const QJsonObject &configuration, const QByteArray &flash,
           QString *error)
{
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create folder %1").arg(folder);
        return false;
    }
    const QDir directory(folder);
    const auto save = [&](const QString &fileName, const QByteArray &bytes) {
        QSaveFile file(directory.filePath(fileName));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
            !file.commit()) {
            if (error)
                *error =
                    QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        return true;
    };
    if (!save(QString::fromLatin1(configurationFileName),
              QJsonDocument(configuration).toJson(QJsonDocument::Indented)))
        return false;
    return flash.isEmpty() || save(QString::fromLatin1(flashFileName), flash);
}

} // namespace AdapterFolder
