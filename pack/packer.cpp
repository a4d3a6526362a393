// Packer entry points (filled in by the packer core).
