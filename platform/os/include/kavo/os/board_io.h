#pragma once
// The small devices of the zoom-lens boards as the ISP server uses them: the SPI bus of the pan/tilt
// unit ("/dev/spidev0.0", Linux spidev requests followed by plain writes), the GPIO driver
// ("/dev/gpiodev", one 32-bit value per request) and the IR LED backlight power switch.
#include <sys/ioctl.h>

#include <cstdint>

// spidev: each request carries a pointer to the value.
constexpr unsigned long SPI_REQUEST_WR_MODE = _IOW('k', 1, uint8_t);           // SPI mode 0..3
constexpr unsigned long SPI_REQUEST_WR_BITS_PER_WORD = _IOW('k', 3, uint8_t);  // bits per word
constexpr unsigned long SPI_REQUEST_WR_MAX_SPEED_HZ = _IOW('k', 4, uint32_t);  // clock ceiling, Hz

// GPIO driver requests, each with a pointer to one 32-bit value.
constexpr unsigned long GPIO_REQUEST_RESET_BUTTON = 0x80046b02;   // read: 1 while pressed
constexpr unsigned long GPIO_REQUEST_VPORT_IN0 = 0x80046b0b;      // read: video-port input 0
constexpr unsigned long GPIO_REQUEST_VPORT_IN1 = 0x80046b0c;      // read: video-port input 1
constexpr unsigned long GPIO_REQUEST_VPORT_OUT0 = 0x40046b05;     // write: video-port output 0
constexpr unsigned long GPIO_REQUEST_VPORT_OUT1 = 0x40046b06;     // write: video-port output 1
constexpr unsigned long GPIO_REQUEST_IR_LED = 0x40046b2a;         // write: IR LED on (1) or off (0)
constexpr unsigned long GPIO_REQUEST_IR_LED2 = 0x40046b2e;        // write: the second IR LED switch (board 5)

// Written "1" to power the IR LED backlight of board 5 on.
constexpr const char* kIrLedBacklightPower = "/sys/class/backlight/pwm-backlight.1/bl_power";
