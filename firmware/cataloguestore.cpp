#include "cataloguestore.h"

#include "catalogue.h"
#include "cloudaws.h"

#include <QDebug>

CatalogueStore::CatalogueStore(CloudAWS *cloud) : cloud(cloud) {}

CatalogueStore::Snapshot CatalogueStore::read() const
{
    Snapshot snapshot;
    const CloudAWS::FetchResult fetched = cloud->fetch(Catalogue::objectName());
    if (!fetched.succeeded) {
        snapshot.failure = fetched.failure;
        return snapshot;
    }
    if (fetched.absent) {
        // The first publication on an empty store.
        snapshot.readable = true;
        return snapshot;
    }
    bool readable = false;
    snapshot.catalogue = Catalogue::parse(fetched.content, &readable);
    if (!readable) {
        snapshot.failure = QStringLiteral("the stored catalogue is not a JSON object");
        qWarning().noquote() << "firmware catalogue on the store cannot be read; left as it is";
        return snapshot;
    }
    snapshot.readable = true;
    snapshot.etag = fetched.etag;
    return snapshot;
}

CatalogueStore::Result CatalogueStore::apply(const Change &change, const Snapshot *first) const
{
    Result result;
    Snapshot base = first && first->readable ? *first : read();
    for (int attempt = 0; attempt < writeAttempts; ++attempt) {
        if (attempt > 0)
            base = read();
        if (!base.readable) {
            result.outcome = Outcome::Unreadable;
            return result;
        }
        const QJsonObject changed = change(base.catalogue);
        QString failure;
        const CloudAWS::ConditionalOutcome outcome = cloud->uploadIfUnchanged(
            Catalogue::objectName(), Catalogue::serialize(changed), base.etag, &failure);
        if (outcome == CloudAWS::ConditionalOutcome::Stored) {
            result.outcome = Outcome::Stored;
            result.catalogue = changed;
            return result;
        }
        if (outcome == CloudAWS::ConditionalOutcome::Failed) {
            qWarning().noquote() << "firmware catalogue not stored:" << failure;
            result.outcome = Outcome::WriteFailed;
            return result;
        }
        qDebug() << "firmware catalogue changed on the store meanwhile; applying the change again";
    }
    result.outcome = Outcome::WriteFailed;
    return result;
}
