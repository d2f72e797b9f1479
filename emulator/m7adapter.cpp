#include "m7adapter.h"

M7Adapter::M7Adapter(const QString &name)
    : SectorAdapter(name, modelProductId, chipIdAddress, chipIdBytes)
{
}
