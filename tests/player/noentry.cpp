extern "C" int notTheEntry() { return 0; }
