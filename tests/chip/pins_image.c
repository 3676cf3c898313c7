/* The pins' test image: sets up the three serial lines, the SPI bus, the
 * I2C bus and the two analog inputs as the board wires them, each from the
 * datasheet's registers, with one pad setting wrong as the test asks
 * (`wrong`, written before the image runs), then uses each once and leaves
 * what it saw in .bss for the test. Built with core_image.ld: no .data, no
 * start-up code, nothing from a C library. */
#include <stdint.h>

#define R32(a) (*(volatile uint32_t *)(a))
#define R16(a) (*(volatile uint16_t *)(a))
#define R8(a) (*(volatile uint8_t *)(a))

enum { MCLK = 0x40000400, GCLK = 0x40001800, PORT = 0x40002800, ADC = 0x43000C00 };
enum { SERCOM0 = 0x42000000, SERCOM1 = 0x42000400, SERCOM2 = 0x42000800, SERCOM4 = 0x42001000, SERCOM5 = 0x43000400 };
enum { A = 0, B = 1, FN_B = 1, FN_C = 2, FN_D = 3 };

/* Which setting goes wrong: 0 none, 1 PC TX's PMUXEN, 2 GPS RX's PMUX
 * letter, 3 transponder TXPO, 4 EEPROM DIPO, 5 RTC SCL's PMUXEN, 6 battery's
 * PMUX letter. */
volatile uint32_t wrong;
/* What the image saw. */
volatile uint32_t gps_bytes;       /* bytes SERCOM1 received */
volatile uint32_t eeprom_status;   /* the status register after WREN */
volatile uint32_t rtc_nack;        /* STATUS.RXNACK after the RTC's address */
volatile uint32_t battery;         /* AIN8's result */
volatile uint32_t ready;           /* set up, the bytes sent */

extern uint32_t __stack_top;
void Reset_Handler(void);
void Halt_Handler(void);

__attribute__((section(".vectors"), used)) static void *const vectors[4] = {
    &__stack_top, (void *)Reset_Handler, (void *)Halt_Handler, (void *)Halt_Handler};

void Halt_Handler(void) {
    for (;;) {
    }
}

/* A pad onto peripheral function `f` (PMUX, then PINCFG.PMUXEN). */
static void pad(unsigned group, unsigned n, unsigned f) {
    const uint32_t port = PORT + 0x80 * group;
    volatile uint8_t *pmux = (volatile uint8_t *)(port + 0x30 + n / 2);
    *pmux = (n & 1) ? (uint8_t)((*pmux & 0x0F) | (f << 4)) : (uint8_t)((*pmux & 0xF0) | f);
    R8(port + 0x40 + n) = 1;
}

/* A peripheral channel on generator 0 (OSC16M, 4 MHz after reset). */
static void channel(unsigned m) {
    R32(GCLK + 0x80 + 4 * m) = (1u << 6);
    while (!(R32(GCLK + 0x80 + 4 * m) & (1u << 6))) {
    }
}

static void synced(uint32_t sercom) {
    while (R32(sercom + 0x1C)) {
    }
}

/* USART, internal clock, 16x arithmetic BAUD, LSB first, TX and RX on. */
static void usart(uint32_t s, uint32_t pads, uint16_t baud) {
    const uint32_t ctrla = (1u << 2) | (1u << 30) | pads;
    R32(s) = ctrla;
    R32(s + 0x04) = (1u << 16) | (1u << 17);
    R16(s + 0x0C) = baud;
    R32(s) = ctrla | 2u;
    synced(s);
}

static void send(uint32_t s, uint8_t c) {
    while (!(R8(s + 0x18) & 1u)) {
    }
    R16(s + 0x28) = c;
}

static uint8_t spi(uint8_t out) {
    while (!(R8(SERCOM4 + 0x18) & 1u)) {
    }
    R32(SERCOM4 + 0x28) = out;
    while (!(R8(SERCOM4 + 0x18) & 4u)) {
    }
    return (uint8_t)R32(SERCOM4 + 0x28);
}

static void eeprom_select(int on) { R32(PORT + (on ? 0x14 : 0x18)) = 1u << 27; }   /* PA27, active low */

static uint32_t convert(unsigned ain) {
    R16(ADC + 0x08) = (uint16_t)ain;   /* INPUTCTRL.MUXPOS, MUXNEG 0 */
    while (R16(ADC + 0x20)) {
    }
    R8(ADC + 0x18) = 2;                /* SWTRIG.START */
    while (!(R8(ADC + 0x06) & 1u)) {
    }
    return R16(ADC + 0x24);
}

void Reset_Handler(void) {
    gps_bytes = eeprom_status = rtc_nack = battery = ready = 0;
    R32(MCLK + 0x1C) |= 0x1Fu << 1;        /* APBCMASK: SERCOM0..4 */
    R32(MCLK + 0x20) |= (1u << 1) | (1u << 3);   /* APBDMASK: SERCOM5, ADC */
    channel(18);
    channel(19);
    channel(20);
    channel(22);
    channel(24);
    channel(30);

    /* PC on SERCOM0: TX PA04 (D, PAD0), RX PA05 (D, PAD1); 38400 baud. */
    if (wrong != 1) pad(A, 4, FN_D);
    pad(A, 5, FN_D);
    usart(SERCOM0, (0u << 16) | (1u << 20), 55469);
    /* GPS on SERCOM1: TX PA16 (C, PAD0), RX PA17 (C, PAD1); 9600 baud. */
    pad(A, 16, FN_C);
    pad(A, 17, wrong == 2 ? FN_D : FN_C);
    usart(SERCOM1, (0u << 16) | (1u << 20), 63019);
    /* Transponder on SERCOM5: TX PB22 (D, PAD2: TXPO 1), RX PB23 (D, PAD3). */
    pad(B, 22, FN_D);
    pad(B, 23, FN_D);
    usart(SERCOM5, ((wrong == 3 ? 0u : 1u) << 16) | (3u << 20), 55469);

    /* EEPROM on SERCOM4, SPI master mode 0: MISO PA12 (D, PAD0: DIPO 0),
     * MOSI PB10 (D, PAD2) and SCK PB11 (D, PAD3): DOPO 1; 1 MHz. CS PA27. */
    R32(PORT + 0x18) = 1u << 27;
    R32(PORT + 0x08) = 1u << 27;
    pad(A, 12, FN_D);
    pad(B, 10, FN_D);
    pad(B, 11, FN_D);
    const uint32_t spi_ctrla = (3u << 2) | (1u << 16) | ((wrong == 4 ? 1u : 0u) << 20);
    R32(SERCOM4) = spi_ctrla;
    R32(SERCOM4 + 0x04) = 1u << 17;
    R8(SERCOM4 + 0x0C) = 1;
    R32(SERCOM4) = spi_ctrla | 2u;
    synced(SERCOM4);

    /* RTC on SERCOM2, I2C master: SDA PA08 (D, PAD0), SCL PA09 (D, PAD1); 100 kHz. */
    pad(A, 8, FN_D);
    if (wrong != 5) pad(A, 9, FN_D);
    R32(SERCOM2) = 5u << 2;
    R32(SERCOM2 + 0x0C) = 15;
    R32(SERCOM2) = (5u << 2) | 2u;
    synced(SERCOM2);
    R16(SERCOM2 + 0x1A) = 1u << 4;   /* BUSSTATE: idle */
    synced(SERCOM2);

    /* Battery on AIN8 (PB00, B) behind its divider, switched on by line 13
     * (PA11, high); panel current on AIN9 (PB01, B); VDDANA reference. */
    R32(PORT + 0x18) = 1u << 11;
    R32(PORT + 0x08) = 1u << 11;
    pad(B, 0, wrong == 6 ? FN_D : FN_B);
    pad(B, 1, FN_B);
    R8(ADC + 0x02) = 5;
    /* The factory trims into CALIB while the converter is off: BIASREFBUF
     * (bits 2:0 of the calibration area) to 10:8, BIASCOMP (5:3) to 2:0. */
    const uint32_t trims = R32(0x00806020u);
    R16(ADC + 0x2C) = (uint16_t)(((trims & 7u) << 8) | ((trims >> 3) & 7u));
    R8(ADC + 0x00) = 2;
    while (R16(ADC + 0x20)) {
    }

    battery = convert(8);
    (void)convert(9);

    eeprom_select(1);
    (void)spi(0x06);   /* WREN */
    eeprom_select(0);
    eeprom_select(1);
    (void)spi(0x05);   /* RDSR */
    eeprom_status = spi(0);
    eeprom_select(0);

    R32(SERCOM2 + 0x24) = 0x6Fu << 1;
    while (!(R8(SERCOM2 + 0x18) & 3u)) {
    }
    rtc_nack = (R16(SERCOM2 + 0x1A) >> 2) & 1u;
    R32(SERCOM2 + 0x04) = 3u << 16;   /* STOP */

    send(SERCOM0, 'P');
    send(SERCOM0, 'C');
    send(SERCOM5, '$');
    send(SERCOM5, 'X');
    ready = 1;
    for (;;)
        if (R8(SERCOM1 + 0x18) & 4u) {
            (void)R16(SERCOM1 + 0x28);
            ++gps_bytes;
        }
}
