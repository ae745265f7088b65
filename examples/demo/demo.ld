/* Layout of the demo program in EE memory: code and read-only data from
 * 1 MiB up (below it lies the kernel), then data, small data around gp and
 * the uninitialised data, which the start-up code clears. */
OUTPUT_FORMAT("elf32-tradlittlemips")
OUTPUT_ARCH(mips)
ENTRY(_start)

PHDRS
{
    text PT_LOAD;
    data PT_LOAD;
    reginfo 0x70000000;   /* the register-information segment */
}

SECTIONS
{
    . = 0x00100000;
    .text : { *(.text.start) *(.text .text.*) } :text
    .rodata : { *(.rodata .rodata.* .rodata1) } :text
    /* Loaded with the code; the loader reads gp from it by section type. */
    .reginfo : { *(.reginfo) } :text :reginfo

    /* The data segment starts off a 16-byte boundary, so that loading it
     * takes the head and tail writes as well as the bulk one. */
    .data (ALIGN(16) + 8) : { *(.data .data.*) } :data
    .sdata : { *(.sdata .sdata.*) } :data
    _gp = ADDR(.sdata) + 0x7ff0;
    _bss_start = .;
    .sbss : { *(.sbss .sbss.* .scommon) } :data
    .bss : { *(.bss .bss.* COMMON) } :data
    . = ALIGN(4);
    _end = .;
    _stack_top = 0x01f00000;

    /DISCARD/ : { *(.MIPS.abiflags) *(.note.*) *(.pdr) *(.gnu.attributes) *(.mdebug.*) *(.comment) }
}
