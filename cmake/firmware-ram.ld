/* Gathers every writable global of the firmware archive into one output
   section, so the virtual board can restore the firmware's RAM on a reset. */
SECTIONS
{
  .zfw_ram :
  {
    PROVIDE_HIDDEN(__zfw_ram_start = .);
    /* Initialised data first: clang leaves out an empty .data, and a
       leading .bss makes ld warn when the section turns PROGBITS. */
    *libzelmora_firmware.a:*(.data .data.*)
    *libzelmora_firmware.a:*(.bss .bss.* COMMON)
    PROVIDE_HIDDEN(__zfw_ram_end = .);
  }
}
INSERT AFTER .data;
