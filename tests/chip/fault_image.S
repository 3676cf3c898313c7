@ A deliberately faulting image for the simulator's fault report: the reset
@ handler calls a routine that loads a word from an odd address, which the
@ Cortex-M0+ takes as a HardFault.

    .syntax unified
    .cpu cortex-m0plus
    .thumb

    .section .vectors, "a"
    .word __stack_top
    .word Reset_Handler
    .word HardFault_Handler   @ NMI
    .word HardFault_Handler

    .text
    .global Reset_Handler, read_sensor, HardFault_Handler
    .type Reset_Handler, %function
    .thumb_func
Reset_Handler:
    movs r0, #7
    bl read_sensor
    b Reset_Handler

    .type read_sensor, %function
    .thumb_func
read_sensor:
    ldr r1, =0x20000101
    ldr r0, [r1]          @ unaligned: HardFault
    bx lr

    .type HardFault_Handler, %function
    .thumb_func
HardFault_Handler:
    b HardFault_Handler
    .pool
