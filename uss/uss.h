/*
 * The range finder's user interface: the command record that user programs
 * write to RT-FIFO 1 (/dev/rtf1) and the values they read from RT-FIFO 2
 * (/dev/rtf2).  Shared by the echorange module and by user programs; plain C.
 */
#ifndef USS_H
#define USS_H

#define USS_CMD_FIFO   1      /* command records, user process -> module */
#define USS_DATA_FIFO  2      /* distances, module -> user process */
#define USS_FIFO_SIZE  4000   /* bytes of each FIFO: 1000 distances on FIFO 2 */

/* Values of uss_msg_struct.command; any other value is read and ignored. */
#define CMD_SINGLE_SHOT       1   /* one shot on sensor `number`, at once */
#define CMD_START_PERIODIC    2   /* one shot every `period` ms from now on */
#define CMD_SUSPEND_PERIODIC  3   /* stop the periodic shots */

/* The value on FIFO 2 for a periodic shot whose echo had not come back when
 * the module looked; an echo at 9999 mm reads the same. */
#define NO_ECHO 9999

/*
 * One command: 12 bytes, three signed 32-bit little-endian integers, no gaps.
 * Write each record with a single write() so that it arrives whole.
 *   command  one of the CMD_ values
 *   number   sensor, counted from 1 (board channel number - 1).  It also
 *            stays the sensor of the periodic shots until the next record.
 *   period   milliseconds between periodic shots; read by CMD_START_PERIODIC
 */
typedef struct uss_msg_struct {
    int command;
    int number;
    int period;
} uss_msg_struct;

/* The record's size is part of the FIFO protocol. */
typedef char uss_msg_struct_must_be_12_bytes[sizeof(struct uss_msg_struct) == 12 ? 1 : -1];

#endif
