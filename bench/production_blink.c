// Blinks the LED of the common STM8S103 boards (PB5) in a pattern, with a busy delay.
#include <stdint.h>

#define PB_ODR (*(volatile uint8_t*)0x5005)
#define PB_DDR (*(volatile uint8_t*)0x5007)
#define PB_CR1 (*(volatile uint8_t*)0x5008)

static const uint8_t pattern[] = {1, 0, 1};

static void delay(uint16_t n) {
    while (n--)
        __asm__("nop");
}

void main(void) {
    uint8_t step = 0;
    PB_DDR |= 0x20;
    PB_CR1 |= 0x20;
    for (;;) {
        if (pattern[step])
            PB_ODR |= 0x20;
        else
            PB_ODR &= ~0x20;
        if (++step == sizeof pattern)
            step = 0;
        delay(25000);
    }
}
