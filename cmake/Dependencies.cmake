# Libraries beyond the base set, added as the modules that need them land.
