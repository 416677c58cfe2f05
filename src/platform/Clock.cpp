#include "Clock.h"

namespace smtpin {

DateSerial SystemClock::now() const { return DateSerial::fromDateTime(QDateTime::currentDateTime()); }

}  // namespace smtpin
