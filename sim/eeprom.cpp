// Placeholder: the device model is being written.
#include "eeprom.h"

#include "board.h"

namespace zsim {
Eeprom::Eeprom(Board& board, const Scenario& sc) : board_(board), setup_(sc.eeprom), mem_(kSize, 0xFF) {}
void Eeprom::poke(uint16_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) mem_[(address + i) % kSize] = bytes[i];
}
void Eeprom::on_select(bool) {}
uint8_t Eeprom::on_exchange(uint8_t, const SPISettings&) { return 0xFF; }
bool Eeprom::present(vtime) const { return setup_.present; }
void Eeprom::save_page(uint16_t) {}
}  // namespace zsim
