#pragma once

// Pairing of Wii devices. On this platform the system's Bluetooth settings pair
// them and the kernel drives them; this counts the Wii devices it drives now, up
// to maxDevices. Existing pairings stay whatever removeExisting says: they belong
// to the system. GUI thread.
int wii_pair(int maxDevices, bool removeExisting);
