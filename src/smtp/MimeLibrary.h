#pragma once

namespace smtpin {

// Sets the MIME library up once per process; it keeps no per-mail state.
void ensureMimeLibrary();

}  // namespace smtpin
