// Placeholder until the ELF module lands.
