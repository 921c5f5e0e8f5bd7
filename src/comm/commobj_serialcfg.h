// The RTS GPIO that the serial device table names for a device, -1 when none.
#pragma once

int SerialRtsDefault(const char* device);
