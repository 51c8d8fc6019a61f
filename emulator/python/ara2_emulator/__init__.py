"""Emulator of the ARA-2 accelerator stack."""
