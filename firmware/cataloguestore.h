#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

class CloudAWS;

// Reads and changes index.json on the store so that no change is built on a
// stale or unread copy: every change starts from the catalogue as the store
// holds it now and is written only if nobody replaced it meanwhile (the
// store's ETag); a change that lost such a race is applied again to the
// newer catalogue.
class CatalogueStore
{
public:
    // Publishers rarely race; a change that loses this often in a row is
    // reported as failed rather than tried for ever.
    static constexpr int writeAttempts = 4;

    struct Snapshot
    {
        bool readable = false;
        QJsonObject catalogue;
        // Empty when the store holds no catalogue yet.
        QByteArray etag;
        QString failure;
    };

    enum class Outcome { Stored, Unreadable, WriteFailed };
    struct Result
    {
        Outcome outcome = Outcome::WriteFailed;
        // The catalogue as stored (Stored only).
        QJsonObject catalogue;
    };

    // Builds the new catalogue from the current one.
    using Change = std::function<QJsonObject(const QJsonObject &current)>;

    explicit CatalogueStore(CloudAWS *cloud);

    // The catalogue as the store holds it now. A store without index.json
    // gives a readable, empty catalogue; a document that is not a JSON
    // object is unreadable (it is never overwritten).
    Snapshot read() const;
    // Applies change to a fresh read (or to first, when given and readable)
    // and stores the result.
    Result apply(const Change &change, const Snapshot *first = nullptr) const;

private:
    CloudAWS *cloud;
};
