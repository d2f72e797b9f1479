// The five language files: every file holds the same messages, all finished;
// the English file shortens exactly the texts the window shows shortened and
// leaves the others as written; Chinese, Japanese, Russian and French
// translate every message and keep its placeholders, lines and closing "!";
// the language names read the same in every language; the compiled files in
// the program's resources answer what the files say; the bundled fonts draw
// every translation; and the program's sources mark exactly the texts the
// files translate, apart from the ones every language shows as written.

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRawFont>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

#include <iterator>

namespace {

struct Message
{
    QString context;
    QString source;
    QString translation;
    QString type; // "unfinished", "vanished" or "obsolete" when not translated
    bool hasTranslation = false;
};

struct LanguageFile
{
    QString language; // the language attribute of the file
    QVector<Message> messages;
    QString error;
};

using MessageKey = QPair<QString, QString>; // context, source

struct ExpectedMessage
{
    const char *context;
    const char *source;
    const char *englishDisplay; // null: English shows the source as written
};

// The texts of the window, the controller, the start-up and the three
// adapters, with the English display of each text English shortens.
const ExpectedMessage windowAndAdapterMessages[] = {
    {"FirmwareManage", "Brivane data backup", "Data Backup"},
    {"FirmwareManage", "Brivane data restore", "Data Restore"},
    {"FirmwareManage", "The device is connecting...", "connecting"},
    {"FirmwareManage", "The device is not connected or has not entered upgrade mode as instructed",
     "No Brivane Device found"},
    {"FirmwareManage", "Ok", "OK"},
    {"FirmwareManage", "Cancel", nullptr},
    {"FirmwareUpgrader", "Firmware lost", "Firmware lost! Please update firmware!"},
    {"FirmwareUpgrader", "Ok", "OK"},
    {"FirmwareUpgrader", "Restore Default", "Update&&Erase"},
    {"FirmwareUpgrader", "SN: ", "SN:"},
    {"FirmwareUpgrader", "The data will be erased and then restore default!", "Erase all data?"},
    {"FirmwareUpgrader", "Update Firmware", "Update"},
    {"FirmwareUpgrader", "Cancel", nullptr},
    {"FirmwareUpgrader", "Boot Mode", nullptr},
    {"FirmwareUpgrader", "Data Backup", nullptr},
    {"FirmwareUpgrader", "Data Restore", nullptr},
    {"FirmwareUpgrader", "LOCAL", nullptr},
    {"FirmwareUpgrader", "New Version", nullptr},
    {"FirmwareUpgrader", "OTA", nullptr},
    {"GuideStart",
     "Connect Brivane T5 to PC while holding the button.\nRelease the button until the LED "
     "indicator is stable green.",
     "1. connect Brivane T5 to PC while holding the button\n2. release the button until the LED "
     "indicator is stable green"},
    {"GuideStart",
     "Connect Brivane M7 to PC while holding the button\nRelease the button until the LED "
     "indicator is stable green.",
     "1. connect Brivane M7 to PC while holding the button\n2. release the button until the LED "
     "indicator is stable green"},
    {"GuideStart", "Connect Brivane K3 to PC auto into upgrade mode.", "Plug Brivane K3 into PC"},
    {"GuideStart", "Quick start guide", "Instructions"},
    {"GuideStart", "Select product", "Product"},
    {"GuideStart", "Enter", nullptr},
    {"Main", "English", nullptr},
    {"Main", "Chinese", "中文"},
    {"Main", "Japanese", "日本語"},
    {"Main", "Russian", "русский"},
    {"Main", "French", "Français"},
    {"Main", "Back", nullptr},
    {"QObject", "Brivane Firmware is already running!", "Brivane Firmware Tool is running"},
    {"K3Device", "Erase error!", "Error"},
    {"K3Device", "Update error!", "Error"},
    {"K3Device", "Update OK!", "Update successfully"},
    {"K3Device", "Update firmware file damag!", "invalid file"},
    {"K3Device", "Update invalid file!", "invalid file"},
    {"M7Device", "Erase error!", "Error"},
    {"M7Device", "Update error!", "Error"},
    {"M7Device", "Update OK!", "Update successfully"},
    {"M7Device", "Update file md5 error!", "Error(MD5)"},
    {"M7Device", "Update file type error!", "invalid file"},
    {"T5Device", "Corrupted file unauthorized!", "invalid file"},
    {"T5Device", "The firmware is empty!", "invalid file"},
    {"T5Device", "Data backup error!", "Error"},
    {"T5Device", "Erase error!", "Error"},
    {"T5Device", "Firmware data restore error!", "Error"},
    {"T5Device", "Write to flash data verify error!", "Error"},
    {"T5Device", "Write to flash error!", "Error"},
    {"T5Device", "Firmware lost!", nullptr},
};

// What the adapters and the controller report beyond those: the checks before
// a T5 operation, its settings copies, the M7's refused file and the
// catalogue's download and publishing faults, and an adapter the user may not
// open. English shows them as written, but for the M7's refused file.
const ExpectedMessage laterMessages[] = {
    // The K3 reports the same text and English shows it shortened there.
    {"M7Device", "Update invalid file!", "invalid file"},
    {"T5Device", "The adapter's settings could not be read!", nullptr},
    {"T5Device", "The firmware is too large for the adapter!", nullptr},
    {"T5Device", "The backup file is empty or cannot be read!", nullptr},
    {"T5Device", "Update the adapter to firmware 5.5.0 or later first!", nullptr},
    {"T5Device", "The backup file holds damaged data!", nullptr},
    {"T5Device", "The adapter could not be read completely!", nullptr},
    {"T5Device", "Another adapter was plugged in; check the adapter and try again!", nullptr},
    {"T5Device", "The file is not a firmware for this adapter!", nullptr},
    {"T5Device", "The firmware version is not valid!", nullptr},
    {"T5Device", "The settings could not be saved on this computer; nothing was written!", nullptr},
    {"T5Device", "The adapter's settings were restored from the copy saved on %1.", nullptr},
    {"T5Device",
     "The adapter's settings are damaged. The next update writes back the copy saved on %1.",
     nullptr},
    {"T5Device", "No saved settings of this adapter were found!", nullptr},
    {"T5Device", "The adapter's settings were lost; factory settings were written.", nullptr},
    {"FirmwareManage", "The firmware entry of the catalogue is not valid!", nullptr},
    {"FirmwareManage", "The firmware could not be downloaded!", nullptr},
    {"FirmwareManage", "The downloaded firmware is damaged!", nullptr},
    {"FirmwareManage", "The firmware could not be saved!", nullptr},
    {"FirmwareManage", "The firmware catalogue could not be read!", nullptr},
    {"FirmwareManage", "The firmware version is not valid!", nullptr},
    {"FirmwareManage",
     "The adapter was found but cannot be opened: no permission for %1. Install the package %2, "
     "whose udev rule gives the user at this computer access to the adapters, then plug the "
     "adapter in again.",
     nullptr},
    {"FirmwareManage",
     "The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 "
     "is installed. It gives access only to the user at this computer's own screen and keyboard. "
     "If that is you, run \"%3\" and plug the adapter in again.",
     nullptr},
};

// Marked in the sources, shown as written in every language, so in no file:
// the publishing page and its outcome messages (a technician's tool), the
// settings-file error, the network error, the file dialogs' firmware caption
// and filters, and the erase dialog's buttons in update mode.
const MessageKey untranslatedTexts[] = {
    {"FirmwareManage", "Upload"},
    {"FirmwareManage", "Device:"},
    {"FirmwareManage", "Version:"},
    {"FirmwareManage", "Firmware Path:"},
    {"FirmwareManage", "App 'configs.ini' error!"},
    {"FirmwareManage", "The network error!"},
    {"FirmwareManage", "Brivane firmware"},
    {"FirmwareManage", "Firmware Files (*.bin)"},
    {"FirmwareManage", "Backup Files (*.bkp)"},
    {"FirmwareManage", "The firmware file is empty!"},
    {"FirmwareManage", "Upload firmware OK!"},
    {"FirmwareManage", "Upload firmware error!"},
    {"FirmwareManage", "Upload firmware info OK!"},
    {"FirmwareManage", "Upload firmware info error!"},
    {"FirmwareManage", "Edit firmware OK!"},
    {"FirmwareManage", "Edit firmware info error!"},
    {"FirmwareManage", "Remove firmware OK!"},
    {"FirmwareManage", "Remove firmware info error!"},
    {"FirmwareUpgrader", "Update"},
    {"FirmwareUpgrader", "Erased&&Update"},
};

struct Language
{
    const char *code;     // file name part
    const char *fontFile; // the bundled font meant for its texts
};

const Language languages[] = {
    {"en_EN", "en-micross.ttf"}, {"zh_CN", "cn-msyh.ttf"},    {"ja_JP", "jp-msgothic.ttf"},
    {"ru_RU", "ru-consola.ttf"}, {"fr_FR", "en-micross.ttf"},
};

// Every language names the five languages in their own writing, so each name
// is drawn with its own language's font.
const struct
{
    const char *source;
    const char *name;
    const char *code;
} languageNames[] = {
    {"English", "English", "en_EN"}, {"Chinese", "中文", "zh_CN"},
    {"Japanese", "日本語", "ja_JP"}, {"Russian", "русский", "ru_RU"},
    {"French", "Français", "fr_FR"},
};

// A translation may equal its source only here: the name "English" is the
// same in every language, "OTA" is the abbreviation firmware tools show
// everywhere, and French writes "LOCAL" exactly as English does.
const struct
{
    const char *code; // null: every language
    const char *context;
    const char *source;
} sameAsSource[] = {
    {nullptr, "Main", "English"},
    {nullptr, "FirmwareUpgrader", "OTA"},
    {"fr_FR", "FirmwareUpgrader", "LOCAL"},
};

// Latin letters and digits inside Chinese and Japanese texts (product names,
// "LED", "PC", versions) come from the Latin font; the CJK font has none.
const char latinFontFile[] = "en-micross.ttf";

QString sourceDir()
{
    return QStringLiteral(BRIVANE_SOURCE_DIR);
}

QString languageFilePath(const QString &code)
{
    return sourceDir() + QStringLiteral("/resources/languages/client_%1.ts").arg(code);
}

QString fontPath(const char *fontFile)
{
    return sourceDir() + QStringLiteral("/resources/fonts/") + QLatin1String(fontFile);
}

LanguageFile readLanguageFile(const QString &path)
{
    LanguageFile result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("cannot open ") + path;
        return result;
    }
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const QStringRef name = xml.name();
            if (name == QLatin1String("TS")) {
                result.language = xml.attributes().value(QLatin1String("language")).toString();
            } else if (name == QLatin1String("name")) {
                context = xml.readElementText();
            } else if (name == QLatin1String("message")) {
                message = Message{context, {}, {}, {}, false};
            } else if (name == QLatin1String("source")) {
                message.source = xml.readElementText();
            } else if (name == QLatin1String("translation")) {
                message.type = xml.attributes().value(QLatin1String("type")).toString();
                message.translation = xml.readElementText();
                message.hasTranslation = true;
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("message")) {
            result.messages.append(message);
        }
    }
    if (xml.hasError())
        result.error =
            QStringLiteral("%1:%2: %3").arg(path).arg(xml.lineNumber()).arg(xml.errorString());
    return result;
}

QString describe(const MessageKey &key)
{
    return key.first + QStringLiteral(": \"") + key.second + QLatin1Char('"');
}

QString describeAll(QSet<MessageKey> keys)
{
    QStringList lines;
    for (const MessageKey &key : keys)
        lines.append(describe(key));
    lines.sort();
    return lines.join(QStringLiteral("; "));
}

MessageKey keyOf(const ExpectedMessage &message)
{
    return {QString::fromUtf8(message.context), QString::fromUtf8(message.source)};
}

QSet<MessageKey> keysOf(const QVector<Message> &messages)
{
    QSet<MessageKey> keys;
    for (const Message &message : messages)
        keys.insert({message.context, message.source});
    return keys;
}

bool mayEqualSource(const QString &code, const Message &message)
{
    for (const auto &exception : sameAsSource) {
        if ((!exception.code || code == QLatin1String(exception.code)) &&
            message.context == QLatin1String(exception.context) &&
            message.source == QString::fromUtf8(exception.source))
            return true;
    }
    return false;
}

} // namespace

class LanguageFilesTest : public QObject
{
    Q_OBJECT

    QHash<QString, LanguageFile> files; // by language code

    void addLanguageRows(bool withEnglish)
    {
        QTest::addColumn<QString>("code");
        for (const Language &language : languages) {
            if (withEnglish || qstrcmp(language.code, "en_EN") != 0)
                QTest::newRow(language.code) << QString::fromLatin1(language.code);
        }
    }

private slots:
    void initTestCase()
    {
        for (const Language &language : languages) {
            const QString code = QString::fromLatin1(language.code);
            LanguageFile file = readLanguageFile(languageFilePath(code));
            QVERIFY2(file.error.isEmpty(), qPrintable(file.error));
            QCOMPARE(file.language, code);
            files.insert(code, file);
        }
    }

    void everyFileHoldsTheSameMessages_data() { addLanguageRows(true); }
    void everyFileHoldsTheSameMessages()
    {
        QFETCH(QString, code);
        QSet<MessageKey> expected;
        for (const ExpectedMessage &message : windowAndAdapterMessages)
            expected.insert(keyOf(message));
        for (const ExpectedMessage &message : laterMessages)
            expected.insert(keyOf(message));
        QCOMPARE(expected.size(), 50 + int(std::size(laterMessages)));

        const QVector<Message> &messages = files.value(code).messages;
        const QSet<MessageKey> present = keysOf(messages);
        QVERIFY2(present.size() == messages.size(), "a message appears twice");
        QVERIFY2((expected - present).isEmpty(),
                 qPrintable(QStringLiteral("missing: ") + describeAll(expected - present)));
        QVERIFY2((present - expected).isEmpty(),
                 qPrintable(QStringLiteral("unexpected: ") + describeAll(present - expected)));
    }

    void everyMessageIsTranslated_data() { addLanguageRows(true); }
    void everyMessageIsTranslated()
    {
        QFETCH(QString, code);
        for (const Message &message : files.value(code).messages) {
            const QString where = describe({message.context, message.source});
            QVERIFY2(message.hasTranslation, qPrintable(where + QStringLiteral(" has none")));
            QVERIFY2(message.type.isEmpty(),
                     qPrintable(where + QStringLiteral(" is ") + message.type));
            QVERIFY2(!message.translation.trimmed().isEmpty(),
                     qPrintable(where + QStringLiteral(" is empty")));
        }
    }

    void englishDisplay_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("display");
        const auto addRows = [](const auto &messages) {
            for (const ExpectedMessage &message : messages) {
                const QString source = QString::fromUtf8(message.source);
                QTest::addRow("%s: %s", message.context, qPrintable(source.left(40)))
                    << QString::fromUtf8(message.context) << source
                    << (message.englishDisplay ? QString::fromUtf8(message.englishDisplay)
                                               : source);
            }
        };
        addRows(windowAndAdapterMessages);
        addRows(laterMessages);
    }
    void englishDisplay()
    {
        QFETCH(QString, context);
        QFETCH(QString, source);
        QFETCH(QString, display);
        for (const Message &message : files.value(QStringLiteral("en_EN")).messages) {
            if (message.context == context && message.source == source) {
                QCOMPARE(message.translation, display);
                return;
            }
        }
        QFAIL("the English file lacks the message");
    }

    void languageNamesReadTheSameEverywhere_data() { addLanguageRows(true); }
    void languageNamesReadTheSameEverywhere()
    {
        QFETCH(QString, code);
        for (const auto &name : languageNames) {
            bool found = false;
            for (const Message &message : files.value(code).messages) {
                if (message.context == QLatin1String("Main") &&
                    message.source == QLatin1String(name.source)) {
                    QCOMPARE(message.translation, QString::fromUtf8(name.name));
                    found = true;
                }
            }
            QVERIFY2(found, name.source);
        }
    }

    // Placeholders, line breaks and a closing exclamation mark survive in
    // every language; the four others change every text but the exceptions.
    void translationsKeepTheirForm_data() { addLanguageRows(true); }
    void translationsKeepTheirForm()
    {
        QFETCH(QString, code);
        const bool english = code == QLatin1String("en_EN");
        for (const Message &message : files.value(code).messages) {
            const QString where = describe({message.context, message.source});
            const QString &text = message.translation;
            for (int number = 1; number <= 9; ++number) {
                const QString placeholder = QStringLiteral("%") + QString::number(number);
                const int wanted = message.source.contains(placeholder) ? 1 : 0;
                QVERIFY2(text.count(placeholder) == wanted,
                         qPrintable(where + QStringLiteral(": ") + placeholder));
            }
            QVERIFY2(text.count(QLatin1Char('\n')) == message.source.count(QLatin1Char('\n')),
                     qPrintable(where + QStringLiteral(" changes its number of lines")));
            if (english)
                continue;
            if (message.source.endsWith(QLatin1Char('!')))
                QVERIFY2(text.endsWith(QLatin1Char('!')) || text.endsWith(QChar(0xFF01)),
                         qPrintable(where + QStringLiteral(" -> ") + text));
            if (!mayEqualSource(code, message))
                QVERIFY2(text != message.source, qPrintable(where + QStringLiteral(" is English")));
        }
    }

    // The program loads the compiled files from its resources; each must
    // answer every message as its file says.
    void compiledFilesAnswerAsTheFilesSay_data() { addLanguageRows(true); }
    void compiledFilesAnswerAsTheFilesSay()
    {
        QFETCH(QString, code);
        QTranslator translator;
        const QString resource = QStringLiteral(":/languages/client_%1.qm").arg(code);
        QVERIFY2(translator.load(resource), qPrintable(resource));
        for (const Message &message : files.value(code).messages) {
            const QString where = describe({message.context, message.source});
            const QString answer = translator.translate(qPrintable(message.context),
                                                        message.source.toUtf8().constData());
            QVERIFY2(answer == message.translation,
                     qPrintable(where + QStringLiteral(" -> ") + answer));
        }
    }

    void bundledFontsDrawEveryTranslation_data() { addLanguageRows(true); }
    void bundledFontsDrawEveryTranslation()
    {
        QFETCH(QString, code);
        const int pixelSize = 16;
        QHash<QString, QString> fontOfLanguage;
        for (const Language &language : languages)
            fontOfLanguage.insert(QString::fromLatin1(language.code), fontPath(language.fontFile));
        const QRawFont ownFont(fontOfLanguage.value(code), pixelSize);
        const QRawFont latinFont(fontPath(latinFontFile), pixelSize);
        QVERIFY(ownFont.isValid());
        QVERIFY(latinFont.isValid());

        QStringList missing;
        for (const Message &message : files.value(code).messages) {
            QRawFont nameFont;
            for (const auto &name : languageNames) {
                if (message.context == QLatin1String("Main") &&
                    message.source == QLatin1String(name.source))
                    nameFont = QRawFont(fontOfLanguage.value(QLatin1String(name.code)), pixelSize);
            }
            const QRawFont &font = nameFont.isValid() ? nameFont : ownFont;
            for (uint character : message.translation.toUcs4()) {
                if (character == '\n' || font.supportsCharacter(character) ||
                    latinFont.supportsCharacter(character))
                    continue;
                missing.append(QStringLiteral("U+%1 in \"%2\"")
                                   .arg(character, 4, 16, QLatin1Char('0'))
                                   .arg(message.translation));
            }
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral("; "))));
    }

    // Every text the pages, the controller, the start-up and the adapters mark
    // for translation is in the files unless every language shows it as
    // written, and the files hold no text the program no longer uses.
    void sourcesMarkExactlyTheTranslatedTexts()
    {
        const QString lupdate = QStringLiteral(BRIVANE_LUPDATE);
        if (!QFile::exists(lupdate))
            QSKIP("lupdate is not installed");
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString extracted = scratch.filePath(QStringLiteral("sources.ts"));
        QProcess process;
        process.setWorkingDirectory(sourceDir());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(lupdate,
                      {QStringLiteral("-silent"), QStringLiteral("-locations"),
                       QStringLiteral("none"), QStringLiteral("-no-obsolete"),
                       QStringLiteral("qml"), QStringLiteral("app"), QStringLiteral("device"),
                       QStringLiteral("firmware"), QStringLiteral("-ts"), extracted});
        QVERIFY(process.waitForFinished(60000));
        QVERIFY2(process.exitCode() == 0, process.readAll().constData());

        const LanguageFile fromSources = readLanguageFile(extracted);
        QVERIFY2(fromSources.error.isEmpty(), qPrintable(fromSources.error));
        const QSet<MessageKey> marked = keysOf(fromSources.messages);
        QSet<MessageKey> untranslated;
        for (const MessageKey &key : untranslatedTexts)
            untranslated.insert(key);
        const QSet<MessageKey> translated = keysOf(files.value(QStringLiteral("en_EN")).messages);

        QVERIFY2((translated & untranslated).isEmpty(),
                 qPrintable(describeAll(translated & untranslated)));
        QVERIFY2((translated - marked).isEmpty(), qPrintable(QStringLiteral("no source marks: ") +
                                                             describeAll(translated - marked)));
        QVERIFY2((marked - translated - untranslated).isEmpty(),
                 qPrintable(QStringLiteral("no file translates: ") +
                            describeAll(marked - translated - untranslated)));
        QVERIFY2((untranslated - marked).isEmpty(),
                 qPrintable(QStringLiteral("no longer in the sources: ") +
                            describeAll(untranslated - marked)));
    }
};

QTEST_MAIN(LanguageFilesTest)
#include "tst_languagefiles.moc"
