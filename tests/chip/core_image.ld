/* The core tests' image: the chip's memory map, the vectors first. */
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x00000000, LENGTH = 256K
  RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 32K
}

ENTRY(Reset_Handler)

SECTIONS
{
  .text :
  {
    KEEP(*(.vectors))
    *(.text .text.*)
  } > FLASH

  /* Written by the tests before each reset; never cleared by the image. */
  .bss (NOLOAD) :
  {
    *(.bss .bss.*)
    . = ALIGN(4);
    __bss_end = .;
  } > RAM

  __stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
