#include "adapterfolder.h"

#include "echoadapter.h"
#include "emulatedflash.h"
#include "flashadapter.h"
#include "k3adapter.h"
#include "m7adapter.h"
#include "t5adapter.h"

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
            // Converting a double outside qint64's range is undefined.
            constexpr double twoToThe63 = 9223372036854775808.0;
            ok = real >= -twoToThe63 && real < twoToThe63;
            if (ok) {
                result = qint64(real);
                ok = double(result) == real;
            }
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
    result.openDenied = faults.boolean(QStringLiteral("openDenied"), false);
    result.eraseRefusedAtErase =
        int(faults.number(QStringLiteral("eraseRefusedAtErase"), 0, 0, maximumReport));
    result.wrongEchoAtChunk =
        int(faults.number(QStringLiteral("wrongEchoAtChunk"), 0, 0, maximumReport));
    result.shortReplyFromReport =
        int(faults.number(QStringLiteral("shortReplyFromReport"), 0, 0, maximumReport));
    result.shortReplyToReport =
        int(faults.number(QStringLiteral("shortReplyToReport"), 0, 0, maximumReport));
    result.lateReplyAtReport =
        int(faults.number(QStringLiteral("lateReplyAtReport"), 0, 0, maximumReport));
    result.lateReplyDelayMs =
        int(faults.number(QStringLiteral("lateReplyDelayMs"), 0, 0, maximumDelayMs));
    result.eraseAcknowledgedEarly = faults.boolean(QStringLiteral("eraseAcknowledgedEarly"), false);
    result.eraseCutAtErase =
        int(faults.number(QStringLiteral("eraseCutAtErase"), 0, 0, maximumReport));
    result.eraseCutAfterSectors =
        int(faults.number(QStringLiteral("eraseCutAfterSectors"), 0, 0, maximumReport));
    result.replugAfterMs =
        int(faults.number(QStringLiteral("replugAfterMs"), 0, 0, maximumDelayMs));
    faults.refuseUnknownKeys();

    // A key that needs another one to mean anything would silently switch
    // nothing on; refuse it like a misspelt one.
    if ((result.shortReplyFromReport || result.shortReplyToReport) && !result.shortReplyBytes)
        faults.fail(QStringLiteral("\"shortReplyFromReport\" and \"shortReplyToReport\" need "
                                   "\"shortReplyBytes\""));
    if (result.shortReplyToReport && result.shortReplyToReport < result.shortReplyFromReport)
        faults.fail(QStringLiteral("\"shortReplyToReport\" lies before \"shortReplyFromReport\""));
    if (result.lateReplyAtReport && !result.lateReplyDelayMs)
        faults.fail(QStringLiteral("\"lateReplyAtReport\" needs \"lateReplyDelayMs\""));
    if (result.lateReplyDelayMs && !result.lateReplyAtReport)
        faults.fail(QStringLiteral("\"lateReplyDelayMs\" needs \"lateReplyAtReport\""));
    if (result.eraseCutAfterSectors && !result.eraseCutAtErase)
        faults.fail(QStringLiteral("\"eraseCutAfterSectors\" needs \"eraseCutAtErase\""));
    if (result.replugAfterMs && !result.unplugAtReport && !result.eraseCutAtErase)
        faults.fail(
            QStringLiteral("\"replugAfterMs\" needs \"unplugAtReport\" or \"eraseCutAtErase\""));
    return result;
}

// The models keep the identity their adapters have; the keys are accepted
// so that a file states it, and refused when they say something else.
void expectIdentity(ConfigurationReader &reader, int vendorId, int productId, int interface)
{
    if (reader.number(QStringLiteral("vendorId"), vendorId, 0, 0xFFFF) != vendorId)
        reader.fail(
            QStringLiteral("\"vendorId\" of this model is 0x%1").arg(vendorId, 4, 16, QChar('0')));
    if (reader.number(QStringLiteral("productId"), productId, 0, 0xFFFF) != productId)
        reader.fail(QStringLiteral("\"productId\" of this model is 0x%1")
                        .arg(productId, 4, 16, QChar('0')));
    if (reader.number(QStringLiteral("interface"), interface, -1, 255) != interface)
        reader.fail(QStringLiteral("\"interface\" of this model is %1").arg(interface));
}

std::unique_ptr<EmulatedAdapter> makeT5(ConfigurationReader &reader, const QString &name)
{
    expectIdentity(reader, T5Adapter::vendor, T5Adapter::modelProductId, -1);
    auto t5 = std::make_unique<T5Adapter>(name);
    t5->setRebootReturnAfterMs(
        int(reader.number(QStringLiteral("rebootReturnAfterMs"),
                          T5Adapter::defaultRebootReturnAfterMs, 0, maximumDelayMs)));
    if (reader.has(QStringLiteral("serialNumber"))) {
        const QByteArray serial = reader.hex(QStringLiteral("serialNumber"));
        if (serial.size() != T5Adapter::serialBytes)
            reader.fail(QStringLiteral("\"serialNumber\" must be 12 bytes of hexadecimal text"));
        // Only a fresh flash takes it; a flash.bin loaded later replaces it.
        t5->writeSerialNumber(serial);
    }
    if (reader.has(QStringLiteral("runStatus"))) {
        const QByteArray status = reader.hex(QStringLiteral("runStatus"));
        if (status.size() != 4)
            reader.fail(QStringLiteral("\"runStatus\" must be 4 bytes of hexadecimal text"));
        t5->setRunStatus(status);
    }
    return t5;
}

std::unique_ptr<EmulatedAdapter> makeK3(ConfigurationReader &reader, const QString &name)
{
    const int productId =
        int(reader.number(QStringLiteral("productId"), K3Adapter::applicationProductId, 0, 0xFFFF));
    const bool application = productId == K3Adapter::applicationProductId;
    if (!application && productId != K3Adapter::bootProductId &&
        productId != K3Adapter::bootProductIdV1)
        reader.fail(QStringLiteral("\"productId\" of a K3 is 0xb274, 0xb275 or 0xb270"));
    const int bootProductId =
        int(reader.number(QStringLiteral("bootProductId"),
                          application ? K3Adapter::bootProductId : productId, 0, 0xFFFF));
    if (bootProductId != K3Adapter::bootProductId && bootProductId != K3Adapter::bootProductIdV1)
        reader.fail(QStringLiteral("\"bootProductId\" of a K3 is 0xb275 or 0xb270"));
    expectIdentity(reader, K3Adapter::vendor, productId, application ? 0 : -1);
    auto k3 = std::make_unique<K3Adapter>(name, quint16(productId), quint16(bootProductId));
    k3->setReenumerateAfterMs(
        int(reader.number(QStringLiteral("reenumerateAfterMs"),
                          K3Adapter::defaultReenumerateAfterMs, 0, maximumDelayMs)));
    k3->setBootFlag(int(reader.number(QStringLiteral("bootFlag"), 0, 0, 255)));
    if (reader.has(QStringLiteral("chipId"))) {
        const QByteArray chipId = reader.hex(QStringLiteral("chipId"));
        if (chipId.size() > K3Adapter::chipIdBytes)
            reader.fail(QStringLiteral("\"chipId\" of a K3 has at most 32 bytes"));
        k3->setChipId(chipId);
    }
    return k3;
}

std::unique_ptr<EmulatedAdapter> makeM7(ConfigurationReader &reader, const QString &name)
{
    expectIdentity(reader, M7Adapter::vendor, M7Adapter::modelProductId, -1);
    auto m7 = std::make_unique<M7Adapter>(name);
    if (reader.has(QStringLiteral("chipId"))) {
        const QByteArray chipId = reader.hex(QStringLiteral("chipId"));
        if (chipId.size() != M7Adapter::chipIdBytes)
            reader.fail(QStringLiteral("\"chipId\" of an M7 has 12 bytes"));
        m7->setChipId(chipId);
    }
    return m7;
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
    } else if (model == QLatin1String("T5")) {
        adapter = makeT5(reader, name);
    } else if (model == QLatin1String("K3")) {
        adapter = makeK3(reader, name);
    } else if (model == QLatin1String("M7")) {
        adapter = makeM7(reader, name);
    } else {
        reader.fail(QStringLiteral("\"model\" must be \"T5\", \"K3\", \"M7\", \"echo\" or "
                                   "\"composite\", not \"%1\"")
                        .arg(model));
    }
    if (auto *flashAdapter = dynamic_cast<FlashAdapter *>(adapter.get()))
        flashAdapter->setEraseMsPerSector(
            int(reader.number(QStringLiteral("eraseMsPerSector"), 0, 0, maximumDelayMs)));
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
    if (!writeFile(directory.filePath(QString::fromLatin1(configurationFileName)),
                   QJsonDocument(configuration).toJson(QJsonDocument::Indented), error))
        return false;
    return flash.isEmpty() ||
           writeFile(directory.filePath(QString::fromLatin1(flashFileName)), flash, error);
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace AdapterFolder
