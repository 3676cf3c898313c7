/* Gathers every writable global of the firmware archive into one output
   section, so the virtual board can restore the firmware's RAM on a reset. */
SECTIONS
{
  .zfw_ram :
  {
    PROVIDE_HIDDEN(__zfw_ram_start = .);
    *libzelmora_firmware.a:*(.data .data.* .bss .bss.* COMMON)
    PROVIDE_HIDDEN(__zfw_ram_end = .);
  }
}
INSERT AFTER .data;
