# Stands in for the program image until the image build provides the real one: the
# two symbols the launcher and the runtime expect, in writable data. It carries only the
# header's magic and is not a runnable image.

        .section .data
        .balign 16
        .globl  nimbra_program_image
        .type   nimbra_program_image, @object
nimbra_program_image:
        .ascii  "QX\0\0"
        .zero   0x58 - 4
        .size   nimbra_program_image, . - nimbra_program_image

        .balign 8
        .globl  nimbra_program_image_size
        .type   nimbra_program_image_size, @object
nimbra_program_image_size:
        .quad   0x58
        .size   nimbra_program_image_size, 8

        .section .note.GNU-stack, "", @progbits
