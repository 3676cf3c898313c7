// A unit on its board, driven from the test: the start-up's peripherals up,
// analog inputs set in raw converter counts.
#pragma once
#include <string>

#include "Arduino.h"
#include "M95512.h"
#include "Wire.h"
#include "board.h"
#include "globals.h"
#include "setup.h"
#include "zelmora.h"

struct PowerBench {
    zsim::Board b;
    explicit PowerBench(const zsim::Scenario& sc = zsim::Scenario::builtin()) : b(sc) {
        PinConfig(1);
        Serial0.begin(38400);
        Wire.begin();
        configuracion_adc();
        E2PROM_SPI.begin();
        setup_timerTC0(1, 8000);
        start_timerTC0();
    }
    void battery_counts(int c) { b.override_analog(39, c * 3.3 / 4096.0); }
    void panel_counts(int c) { b.override_analog(40, c * 3.3 / 4096.0); }
    std::string console() {
        Serial0.flush();
        return b.console();
    }
    size_t count(const std::string& needle) {
        const std::string hay = console();
        size_t n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    }
};
