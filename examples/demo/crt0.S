# Start-up code of the demo program. The loader writes the file image of
# each segment and jumps here with gp already set from .reginfo; setting gp
# again costs two instructions and keeps the program correct when it is
# started by something that does not.
	.set	noreorder
	.section .text.start, "ax", @progbits
	.globl	_start
	.ent	_start
_start:
	la	$gp, _gp
	la	$sp, _stack_top
	# .bss is not part of any file image: clear it before C code runs.
	la	$t0, _bss_start
	la	$t1, _end
1:	beq	$t0, $t1, 2f
	nop
	sw	$zero, 0($t0)
	b	1b
	addiu	$t0, $t0, 4
2:	jal	main		# a0 = argc, a1 = argv, as the run request left them
	nop
	move	$a0, $v0
	jal	_exit
	nop
3:	b	3b
	nop
	.end	_start
