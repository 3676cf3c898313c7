@ The core tests' image: one routine per test case, chosen by `test_case`
@ (written by the test before reset), and handlers that append what they
@ see to `log`. The test device sits at 0x40000000: writing n at offset 0
@ raises NVIC line n, at offset 4 lowers it; offset 0x20 answers with a bus
@ error; other offsets record the access.

    .syntax unified
    .cpu cortex-m0plus
    .thumb

    .equ NVIC_ISER, 0xE000E100
    .equ NVIC_ISPR, 0xE000E200
    .equ NVIC_IPR0, 0xE000E400
    .equ SYST_CSR, 0xE000E010
    .equ AIRCR, 0xE000ED0C
    .equ DEV, 0x40000000

@ Appends \reg to the log; clobbers r2 and r3.
.macro LOG reg
    ldr r2, =log_count
    ldr r3, [r2]
    adds r3, #1
    str r3, [r2]
    lsls r3, r3, #2
    str \reg, [r2, r3]
.endm

.macro FUNC name
    .global \name
    .type \name, %function
    .thumb_func
\name:
.endm

    .section .bss
    .align 2
    .global test_case, log_count, log_words, tick_count, scratch
test_case:  .space 4
log_count:  .space 4
log_words:  .space 4 * 64
tick_count: .space 4
scratch:    .space 64

    .section .vectors, "a"
    .align 2
    .word __stack_top
    .word Reset_Handler
    .word Default_Handler       @ 2 NMI
    .word HardFault_Handler     @ 3
    .rept 7
    .word 0                     @ 4-10
    .endr
    .word SVC_Handler           @ 11
    .word 0, 0                  @ 12, 13
    .word Default_Handler       @ 14 PendSV
    .word SysTick_Handler       @ 15
    .word irq0_handler          @ 16 + n
    .word irq1_handler
    .word irq2_handler
    .word irq3_handler
    .word irq4_handler
    .word irq5_handler
    .rept 26
    .word Default_Handler
    .endr

    .text
    .align 2

FUNC Reset_Handler
    ldr r0, =test_case
    ldr r0, [r0]
    cmp r0, #32
    bhs Default_Handler
    lsls r0, r0, #2
    ldr r1, =case_table
    ldr r1, [r1, r0]
    bx r1

FUNC Default_Handler
    b Default_Handler

FUNC HardFault_Handler
    ldr r0, =test_case
    ldr r0, [r0]
    cmp r0, #20
    bne 1f
    ldr r1, =0x30000000
    .global hardfault_bad
hardfault_bad:
    ldr r0, [r1]                @ a fault in the HardFault handler: lockup
1:  b 1b
    .ltorg

    .align 2
case_table:
    .word Default_Handler       @ 0
    .word case_frame            @ 1
    .word case_nest             @ 2
    .word case_primask          @ 3
    .word case_systick          @ 4
    .word case_systick_wfi      @ 5
    .word case_mmio             @ 6
    .word case_frame_padded     @ 7
    .word case_psp              @ 8
    .word Default_Handler       @ 9
    .word case_unaligned_load   @ 10
    .word case_unaligned_store  @ 11
    .word case_even             @ 12
    .word case_unmapped_read    @ 13
    .word case_unmapped_write   @ 14
    .word case_flash_write      @ 15
    .word case_exec_peripheral  @ 16
    .word case_exec_unmapped    @ 17
    .word case_bus_error        @ 18
    .word case_stack_entry      @ 19
    .word case_lockup           @ 20
    .word case_udf              @ 21
    .word case_sysresetreq      @ 22
    .word case_cycles           @ 23
    .word case_svc              @ 24
    .word case_stack_stop       @ 25
    .word case_poll             @ 26
    .word case_pass             @ 27
    .word case_poll_spill       @ 28
    .word case_pass             @ 29: `loop` acting every third tick
    .word case_speed_busy       @ 30
    .word case_speed_mix        @ 31

@ ---- 1: exception entry and return ----
FUNC case_frame
    ldr r4, =NVIC_ISER
    movs r5, #8                 @ line 3
    str r5, [r4]
    ldr r6, =0x0BADC0DE
    mov lr, r6
    movs r6, #0x1C
    mov r12, r6
    movs r0, #0x10
    movs r1, #0x11
    movs r2, #0x12
    movs r3, #0x13
    ldr r4, =NVIC_ISPR
    str r5, [r4]                @ pending now: taken after this store
    .global frame_ret
frame_ret:
    mov r4, r2
    mov r5, r3
    LOG r0
    LOG r1
    LOG r4
    LOG r5
    mov r0, r12
    LOG r0
    b .
    .ltorg

@ ---- 7: a frame padded to 8 bytes ----
FUNC case_frame_padded
    ldr r4, =NVIC_ISER
    movs r5, #8                 @ line 3
    str r5, [r4]
    sub sp, #4                  @ SP 4 mod 8
    ldr r4, =NVIC_ISPR
    str r5, [r4]
    mov r0, sp
    LOG r0
    b .
    .ltorg

@ ---- 8: Thread mode on the process stack ----
FUNC case_psp
    ldr r0, =0x20007000
    msr psp, r0
    movs r0, #2                 @ CONTROL.SPSEL
    msr control, r0
    isb
    ldr r4, =NVIC_ISER
    movs r5, #8                 @ line 3
    str r5, [r4]
    ldr r4, =NVIC_ISPR
    str r5, [r4]
    .global psp_ret
psp_ret:
    mov r0, sp
    LOG r0
    mrs r0, control
    LOG r0
    b .
    .ltorg

FUNC irq3_handler
    mrs r0, ipsr
    LOG r0
    mov r0, lr
    LOG r0
    mov r0, sp
    LOG r0
    movs r0, #0                 @ clobber what the frame restores
    movs r1, #0
    mov r12, r0
    bx lr
    .ltorg

@ ---- 2: nesting by priority ----
FUNC case_nest
    ldr r4, =NVIC_IPR0
    ldr r5, =0x00C040C0         @ line 0 at 0xC0, line 1 at 0x40, line 2 at 0xC0
    str r5, [r4]
    ldr r4, =NVIC_ISER
    movs r5, #7
    str r5, [r4]
    ldr r4, =DEV
    movs r5, #0
    str r5, [r4]                @ raise line 0
    movs r0, #0xAA
    LOG r0
    b .
    .ltorg

FUNC irq0_handler
    push {r4, lr}
    movs r0, #0x10
    LOG r0
    ldr r4, =DEV
    movs r0, #0
    str r0, [r4, #4]            @ lower line 0
    movs r0, #2
    str r0, [r4]                @ line 2, same priority: waits
    movs r0, #0x11
    LOG r0
    movs r0, #1
    str r0, [r4]                @ line 1, higher: preempts
    movs r0, #0x12
    LOG r0
    pop {r4, pc}                @ exception return through POP
    .ltorg

FUNC irq1_handler
    movs r0, #0x21
    LOG r0
    mov r0, lr
    LOG r0
    ldr r1, =DEV
    movs r0, #1
    str r0, [r1, #4]
    bx lr
    .ltorg

FUNC irq2_handler
    movs r0, #0x22
    LOG r0
    ldr r1, =DEV
    movs r0, #2
    str r0, [r1, #4]
    bx lr
    .ltorg

@ ---- 3: PRIMASK ----
FUNC case_primask
    ldr r4, =NVIC_ISER
    movs r5, #16                @ line 4
    str r5, [r4]
    cpsid i
    ldr r4, =DEV
    movs r5, #4
    str r5, [r4]                @ raise line 4: masked
    movs r0, #0x30
    LOG r0
    cpsie i
    movs r0, #0x31
    LOG r0
    b .
    .ltorg

FUNC irq4_handler
    movs r0, #0x34
    LOG r0
    ldr r1, =DEV
    movs r0, #4
    str r0, [r1, #4]
    bx lr
    .ltorg

FUNC irq5_handler
    bx lr

@ ---- 4, 5: SysTick every 8000 cycles ----
FUNC case_systick
    bl systick_start
1:  b 1b

FUNC case_systick_wfi
    bl systick_start
1:  wfi
    b 1b

FUNC systick_start
    ldr r4, =SYST_CSR
    ldr r5, =7999
    str r5, [r4, #4]            @ RVR
    movs r5, #0
    str r5, [r4, #8]            @ CVR
    movs r5, #7
    str r5, [r4]                @ CSR: ENABLE, TICKINT, CLKSOURCE
    bx lr
    .ltorg

FUNC SysTick_Handler
    ldr r0, =tick_count
    ldr r1, [r0]
    adds r1, #1
    str r1, [r0]
    bx lr
    .ltorg

@ ---- 6: peripheral accesses ----
FUNC case_mmio
    ldr r4, =DEV
    ldr r0, =0x11223344
    .global mmio_str, mmio_strh, mmio_strb, mmio_ldr, mmio_ldrh, mmio_ldrb
mmio_str:
    str r0, [r4, #0x10]
mmio_strh:
    strh r0, [r4, #0x16]
mmio_strb:
    strb r0, [r4, #0x1B]
mmio_ldr:
    ldr r1, [r4, #0x10]
mmio_ldrh:
    ldrh r5, [r4, #0x12]
mmio_ldrb:
    ldrb r6, [r4, #0x13]
    LOG r1
    LOG r5
    LOG r6
    b .
    .ltorg

@ ---- 10-21, 25: faults ----
FUNC case_unaligned_load
    ldr r1, =0x20000101
    .global fault_unaligned_load
fault_unaligned_load:
    ldr r0, [r1]
    b .
    .ltorg

FUNC case_unaligned_store
    ldr r1, =scratch + 1
    ldr r0, =0xFFFF
    .global fault_unaligned_store
fault_unaligned_store:
    strh r0, [r1]
    b .
    .ltorg

FUNC case_even
    ldr r1, =even_target
    movs r0, #1
    bics r1, r0
    bx r1
    .global even_target
even_target:
    nop
    b .
    .ltorg

FUNC case_unmapped_read
    ldr r1, =0x30000000
    .global fault_unmapped_read
fault_unmapped_read:
    ldr r0, [r1]
    b .
    .ltorg

FUNC case_unmapped_write
    ldr r1, =0x30000004
    .global fault_unmapped_write
fault_unmapped_write:
    str r0, [r1]
    b .
    .ltorg

FUNC case_flash_write
    ldr r1, =0x100
    .global fault_flash_write
fault_flash_write:
    str r0, [r1]
    b .
    .ltorg

FUNC case_exec_peripheral
    ldr r1, =0x40000001
    bx r1
    .ltorg

FUNC case_exec_unmapped
    ldr r1, =0x30000001
    bx r1
    .ltorg

FUNC case_bus_error
    ldr r1, =DEV + 0x20
    .global fault_bus_error
fault_bus_error:
    ldr r0, [r1]
    b .
    .ltorg

FUNC case_stack_entry
    ldr r0, =__bss_end + 16
    mov sp, r0
    ldr r4, =NVIC_ISER
    movs r5, #32                @ line 5
    str r5, [r4]
    ldr r4, =NVIC_ISPR
    str r5, [r4]                @ its frame would go below .bss
    .global stack_next
stack_next:
    b .
    .ltorg

FUNC case_lockup
    ldr r1, =0x30000000
    .global lockup_first
lockup_first:
    ldr r0, [r1]
    b .
    .ltorg

FUNC case_udf
    .global fault_udf
fault_udf:
    udf #7
    b .

FUNC case_stack_stop
    ldr r0, =__bss_end - 64
    mov sp, r0
    .global stack_stop_loop
stack_stop_loop:
    b .
    .ltorg

@ ---- 22: SYSRESETREQ ----
FUNC case_sysresetreq
    ldr r1, =AIRCR
    ldr r0, =0x05FA0004
    str r0, [r1]
    b .
    .ltorg

@ ---- 23: a loop of known cycles, marked on the test device ----
@ Each pass: LDR 2 + STR 2 + ADDS 1 + SUBS 1 + BNE 2 (taken) = 8 cycles.
FUNC case_cycles
    ldr r4, =DEV
    ldr r1, =scratch
    ldr r0, =1000
    str r0, [r4, #0x24]         @ mark
1:  ldr r2, [r1]
    str r2, [r1, #4]
    adds r3, #1
    subs r0, #1
    bne 1b
    str r0, [r4, #0x24]         @ mark
    b .
    .ltorg

@ ---- 24: SVC, and SVC with PRIMASK set ----
FUNC case_svc
    svc #1
    movs r0, #0x55
    LOG r0
    cpsid i
    .global svc_masked
svc_masked:
    svc #2
    b .
    .ltorg

FUNC SVC_Handler
    mrs r0, ipsr
    LOG r0
    bx lr
    .ltorg

@ ---- 26: a loop polling the tick, marking each new value up to 5 ----
FUNC case_poll
    bl systick_start
    ldr r4, =tick_count
    ldr r6, =DEV
    movs r7, #0                 @ the tick last seen
    .global poll_loop
poll_loop:
    ldr r0, [r4]
    cmp r0, r7
    beq poll_loop               @ reads only, the same registers every round
    mov r7, r0
    str r0, [r6, #0x24]         @ the time the new value was seen
    cmp r7, #5
    blo poll_loop
1:  b 1b
    .ltorg

@ ---- 27: a main loop calling `loop`, whose passes store, each the same,
@ until the tick moves; it marks each new value ----
FUNC case_pass
    ldr r0, =scratch
    movs r1, #0
    str r1, [r0]
    str r1, [r0, #4]
    bl systick_start
1:  bl loop
    b 1b

FUNC loop
    ldr r0, =test_case
    ldr r0, [r0]
    cmp r0, #29
    beq loop_every_third
    push {r4, r5, lr}
    sub sp, #8
    ldr r4, =tick_count
    ldr r0, [r4]
    str r0, [sp]                @ the stack, every pass
    movs r2, #8                 @ a count down on the stack: the pass an
    str r2, [sp, #4]            @ interrupt falls in starts mid-way, with
3:  ldr r3, [sp, #4]            @ these registers and stores
    subs r3, #1
    str r3, [sp, #4]
    bne 3b
    ldr r5, =scratch
    ldr r1, [r5]
    str r1, [r5]                @ the value it holds
    cmp r0, r1
    beq 2f
    str r0, [r5]
    ldr r2, =DEV
    str r0, [r2, #0x24]         @ the time the new value was seen
2:  add sp, #8
    pop {r4, r5, pc}
    .ltorg

@ ---- 29: `loop` acting when the tick is 3 past the last time it did,
@ as `millis() - last >= 3` compiles; it marks the tick then ----
FUNC loop_every_third
    push {r4, lr}
    ldr r4, =tick_count
    ldr r0, [r4]
    ldr r1, =scratch
    ldr r1, [r1, #4]
    subs r0, r0, r1
    cmp r0, #3
    blo 2f
    ldr r0, [r4]
    ldr r1, =scratch
    str r0, [r1, #4]
    ldr r2, =DEV
    str r0, [r2, #0x24]
2:  movs r0, #0                 @ nothing of the tick left in a register
    pop {r4, pc}
    .ltorg

@ ---- 28: case 26 with a register spilled to the stack every round ----
FUNC case_poll_spill
    bl systick_start
    ldr r4, =tick_count
    ldr r6, =DEV
    movs r7, #0
    sub sp, #8
poll_spill_loop:
    str r6, [sp]                @ the value already there: still idle
    ldr r0, [r4]
    cmp r0, r7
    beq poll_spill_loop
    mov r7, r0
    str r0, [r6, #0x24]
    cmp r7, #5
    blo poll_spill_loop
1:  b 1b
    .ltorg

@ ---- 30, 31: speed ----
FUNC case_speed_busy
1:  adds r0, #1
    subs r1, #1
    b 1b

FUNC case_speed_mix
    ldr r4, =scratch
1:  bl work
    b 1b
    .ltorg

FUNC work
    push {r4, r5, lr}
    ldr r0, [r4]
    adds r0, #1
    str r0, [r4]
    ldr r1, [r4, #4]
    eors r1, r0
    lsls r1, r1, #1
    str r1, [r4, #4]
    movs r5, #8
2:  ldrb r2, [r4, r5]
    adds r3, r2
    subs r5, #1
    bne 2b
    pop {r4, r5, pc}
