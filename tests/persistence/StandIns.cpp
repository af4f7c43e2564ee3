#include "StandIns.h"

#include "persistence/PropReader.h"
#include "persistence/PropWriter.h"

int64_t TAllKinds::ReadIntegerFrom(TPropReaderEh& r) {
    return r.ReadInteger();
}
void TAllKinds::WriteIntegerTo(TPropWriterEh& w, int v) {
    w.WriteInteger(v);
}
