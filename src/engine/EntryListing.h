#ifndef PLOVERN_ENTRYLISTING_H
#define PLOVERN_ENTRYLISTING_H

#include "EntryInfo.h"

namespace zipcore {
struct Entry;
}
class EntryTimes;

// The listed form of a central-directory entry, as ListContents hands it to
// the EntryListed handler: the name and comment as text, the method by name,
// the time in the local zone (through `times`, which keeps the zone offsets
// it looked up for the next entries).
EntryInfo listedEntry(const zipcore::Entry& entry, const EntryTimes& times);

#endif // PLOVERN_ENTRYLISTING_H
