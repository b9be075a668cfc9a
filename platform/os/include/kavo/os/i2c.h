#pragma once
// The first I2C bus ("/dev/i2c-0") as the ISP server uses it: the slave-address request of the
// Linux I2C device (followed by plain write and read calls), and the ambient-light sensor on it.

// Selects the 7-bit slave address of the following transfers, also while a kernel driver holds it;
// the argument is the address itself.
constexpr unsigned long I2C_REQUEST_SLAVE_FORCE = 0x0706;

// The ambient-light sensor. A one-byte write selects a register, a two-byte write writes it, a read
// returns bytes from the selected register on.
constexpr unsigned ALS_ADDRESS = 0x10;
constexpr unsigned char ALS_REG_CONTROL = 0x03;  // written: ALS_CONTROL_*
constexpr unsigned char ALS_REG_STATUS = 0x20;   // one byte, non-zero when a result is ready
constexpr unsigned char ALS_REG_RESULT = 0x21;   // four bytes: channel 0, channel 1 (16-bit little-endian)
constexpr unsigned char ALS_CONTROL_CONFIGURE = 0x06;
constexpr unsigned char ALS_CONTROL_START = 0x04;
