#pragma once

#include <wx/string.h>

// Pairing of Wii devices. On this platform the system's Bluetooth settings pair
// them and the kernel drives them; this counts the Wii devices it drives now, up
// to maxDevices. Existing pairings stay whatever removeExisting says: they belong
// to the system. GUI thread.
int wii_pair(int maxDevices, bool removeExisting);

// The status-bar text of a search that connected nothing: whether nothing was found,
// or devices were found that the user may not open. GUI thread.
wxString WiiNoDeviceStatusText();
