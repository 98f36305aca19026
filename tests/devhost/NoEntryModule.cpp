// A module without the DllMain entry point, which the devhost must refuse to load.
extern "C" int NoEntryModuleMarker() { return 1; }
