#include "DravonetApp.h"

// The toolkit's entry point creates the one TrackerApp.
wxIMPLEMENT_APP(TrackerApp);
