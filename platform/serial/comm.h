// Serial lines in the shape of the communications interface the gateway was
// designed against: the device control block, time-outs, properties and status
// records keep their field names and the constants keep their values, so the
// code above this layer reads like the design and stores the same numbers.
//
// A port is opened exclusively through the process-wide opener (replaceable in
// tests by a fake line). Every operation returns true on success or false with
// the reason in last_error(); nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/winerror.h"

namespace varolan::serial {

using varolan::BOOL;
using varolan::DWORD;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;

inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// --- device control block --------------------------------------------------------

inline constexpr DWORD DTR_CONTROL_DISABLE = 0x00;
inline constexpr DWORD DTR_CONTROL_ENABLE = 0x01;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 0x02;

inline constexpr DWORD RTS_CONTROL_DISABLE = 0x00;
inline constexpr DWORD RTS_CONTROL_ENABLE = 0x01;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 0x02;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 0x03;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// Baud rates (bits per second) as the design stores them.
inline constexpr DWORD CBR_110 = 110;
inline constexpr DWORD CBR_300 = 300;
inline constexpr DWORD CBR_600 = 600;
inline constexpr DWORD CBR_1200 = 1200;
inline constexpr DWORD CBR_2400 = 2400;
inline constexpr DWORD CBR_4800 = 4800;
inline constexpr DWORD CBR_9600 = 9600;
inline constexpr DWORD CBR_14400 = 14400;
inline constexpr DWORD CBR_19200 = 19200;
inline constexpr DWORD CBR_38400 = 38400;
inline constexpr DWORD CBR_56000 = 56000;
inline constexpr DWORD CBR_57600 = 57600;
inline constexpr DWORD CBR_115200 = 115200;
inline constexpr DWORD CBR_128000 = 128000;
inline constexpr DWORD CBR_256000 = 256000;

// The flag fields are plain members (one value each) rather than bit-fields.
struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD fBinary = 1;
    DWORD fParity = 0;       // check parity on input
    DWORD fOutxCtsFlow = 0;  // CTS gates output
    DWORD fOutxDsrFlow = 0;  // DSR gates output
    DWORD fDtrControl = DTR_CONTROL_ENABLE;
    DWORD fDsrSensitivity = 0;
    DWORD fTXContinueOnXoff = 0;
    DWORD fOutX = 0;  // Xon/Xoff on output
    DWORD fInX = 0;   // Xon/Xoff on input
    DWORD fErrorChar = 0;
    DWORD fNull = 0;
    DWORD fRtsControl = RTS_CONTROL_ENABLE;
    DWORD fAbortOnError = 0;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    DWORD fCtsHold = 0;
    DWORD fDsrHold = 0;
    DWORD fRlsdHold = 0;
    DWORD fXoffHold = 0;
    DWORD fXoffSent = 0;
    DWORD fEof = 0;
    DWORD fTxim = 0;
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// --- properties --------------------------------------------------------------------

inline constexpr DWORD SP_SERIALCOMM = 0x00000001;  // dwServiceMask

inline constexpr DWORD PST_UNSPECIFIED = 0x00000000;  // dwProvSubType
inline constexpr DWORD PST_RS232 = 0x00000001;
inline constexpr DWORD PST_MODEM = 0x00000006;

inline constexpr DWORD PCF_DTRDSR = 0x0001;  // dwProvCapabilities
inline constexpr DWORD PCF_RTSCTS = 0x0002;
inline constexpr DWORD PCF_RLSD = 0x0004;
inline constexpr DWORD PCF_PARITY_CHECK = 0x0008;
inline constexpr DWORD PCF_XONXOFF = 0x0010;
inline constexpr DWORD PCF_SETXCHAR = 0x0020;
inline constexpr DWORD PCF_TOTALTIMEOUTS = 0x0040;
inline constexpr DWORD PCF_INTTIMEOUTS = 0x0080;
inline constexpr DWORD PCF_SPECIALCHARS = 0x0100;
inline constexpr DWORD PCF_16BITMODE = 0x0200;

inline constexpr DWORD SP_PARITY = 0x0001;  // dwSettableParams
inline constexpr DWORD SP_BAUD = 0x0002;
inline constexpr DWORD SP_DATABITS = 0x0004;
inline constexpr DWORD SP_STOPBITS = 0x0008;
inline constexpr DWORD SP_HANDSHAKING = 0x0010;
inline constexpr DWORD SP_PARITY_CHECK = 0x0020;
inline constexpr DWORD SP_RLSD = 0x0040;

inline constexpr DWORD BAUD_075 = 0x00000001;  // dwSettableBaud, dwMaxBaud
inline constexpr DWORD BAUD_110 = 0x00000002;
inline constexpr DWORD BAUD_134_5 = 0x00000004;
inline constexpr DWORD BAUD_150 = 0x00000008;
inline constexpr DWORD BAUD_300 = 0x00000010;
inline constexpr DWORD BAUD_600 = 0x00000020;
inline constexpr DWORD BAUD_1200 = 0x00000040;
inline constexpr DWORD BAUD_1800 = 0x00000080;
inline constexpr DWORD BAUD_2400 = 0x00000100;
inline constexpr DWORD BAUD_4800 = 0x00000200;
inline constexpr DWORD BAUD_7200 = 0x00000400;
inline constexpr DWORD BAUD_9600 = 0x00000800;
inline constexpr DWORD BAUD_14400 = 0x00001000;
inline constexpr DWORD BAUD_19200 = 0x00002000;
inline constexpr DWORD BAUD_38400 = 0x00004000;
inline constexpr DWORD BAUD_56K = 0x00008000;
inline constexpr DWORD BAUD_128K = 0x00010000;
inline constexpr DWORD BAUD_115200 = 0x00020000;
inline constexpr DWORD BAUD_57600 = 0x00040000;
inline constexpr DWORD BAUD_USER = 0x10000000;

inline constexpr WORD DATABITS_5 = 0x0001;  // wSettableData
inline constexpr WORD DATABITS_6 = 0x0002;
inline constexpr WORD DATABITS_7 = 0x0004;
inline constexpr WORD DATABITS_8 = 0x0008;
inline constexpr WORD DATABITS_16 = 0x0010;
inline constexpr WORD DATABITS_16X = 0x0020;

inline constexpr WORD STOPBITS_10 = 0x0001;  // wSettableStopParity
inline constexpr WORD STOPBITS_15 = 0x0002;
inline constexpr WORD STOPBITS_20 = 0x0004;
inline constexpr WORD PARITY_NONE = 0x0100;
inline constexpr WORD PARITY_ODD = 0x0200;
inline constexpr WORD PARITY_EVEN = 0x0400;
inline constexpr WORD PARITY_MARK = 0x0800;
inline constexpr WORD PARITY_SPACE = 0x1000;

struct COMMPROP {
    WORD wPacketLength = sizeof(COMMPROP);
    WORD wPacketVersion = 2;
    DWORD dwServiceMask = SP_SERIALCOMM;
    DWORD dwReserved1 = 0;
    DWORD dwMaxTxQueue = 0;
    DWORD dwMaxRxQueue = 0;
    DWORD dwMaxBaud = 0;
    DWORD dwProvSubType = PST_UNSPECIFIED;
    DWORD dwProvCapabilities = 0;
    DWORD dwSettableParams = 0;
    DWORD dwSettableBaud = 0;
    WORD wSettableData = 0;
    WORD wSettableStopParity = 0;
    DWORD dwCurrentTxQueue = 0;
    DWORD dwCurrentRxQueue = 0;
    DWORD dwProvSpec1 = 0;
    DWORD dwProvSpec2 = 0;
};

// The BAUD_ bit of a rate in bits per second (0 when the rate has none).
DWORD baud_bit(DWORD rate);

// --- events, status, errors, purge, escape functions -------------------------------

inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
// The events of the modem lines; a line without modem signals cannot wait for them.
inline constexpr DWORD MODEM_LINE_EVENTS = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_PTO = 0x0200;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_DNS = 0x0800;
inline constexpr DWORD CE_OOP = 0x1000;
inline constexpr DWORD CE_MODE = 0x8000;

inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

inline constexpr DWORD SETXOFF = 1;  // EscapeCommFunction
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// --- the open port -----------------------------------------------------------------

// One open serial port. Not meant to be shared between threads, except that
// ReadFile/WriteFile may run on one thread while the state calls run on the
// same one; the fake line is fully thread-safe.
class CommPort {
  public:
    virtual ~CommPort() = default;

    // Queue sizes are advisory; the driver's queues are used.
    virtual bool SetupComm(DWORD in_queue, DWORD out_queue) = 0;
    // The line as it is now (termios read back, plus the settings the driver
    // keeps no trace of: DTR/RTS modes, DSR flow, limits, special characters).
    virtual bool GetCommState(DCB* dcb) = 0;
    // Applies the whole DCB and reads the line back; a setting the driver did
    // not take makes the call fail (ERROR_INVALID_PARAMETER) and the state is
    // restored to what it was before the call.
    virtual bool SetCommState(const DCB* dcb) = 0;
    virtual bool GetCommTimeouts(COMMTIMEOUTS* timeouts) = 0;
    // All zero: reads wait for the full count, writes for all bytes.
    // ReadIntervalTimeout MAXDWORD with zero totals: reads return at once with
    // what has arrived. MAXDWORD interval with both read totals (multiplier,
    // constant) given as MAXDWORD and a constant below MAXDWORD: wait up to the
    // constant for the first byte.
    virtual bool SetCommTimeouts(const COMMTIMEOUTS* timeouts) = 0;
    virtual bool SetCommMask(DWORD event_mask) = 0;
    virtual bool GetCommMask(DWORD* event_mask) = 0;
    // Blocks until one of the events in the mask happens and reports it; fails
    // at once when the mask is 0 or the line cannot report the events.
    virtual bool WaitCommEvent(DWORD* event) = 0;
    virtual bool GetCommModemStatus(DWORD* modem_status) = 0;
    // Errors since the previous call (CE_ bits; CE_BREAK for a received break)
    // and the queue counts. Either pointer may be null.
    virtual bool ClearCommError(DWORD* errors, COMSTAT* stat) = 0;
    virtual bool PurgeComm(DWORD flags) = 0;
    virtual bool GetCommProperties(COMMPROP* properties) = 0;
    // SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, SETXON, SETXOFF.
    virtual bool EscapeCommFunction(DWORD function) = 0;
    // Read and write under the time-outs in force. A read that times out
    // succeeds with the bytes it got (possibly 0); a line that has gone away
    // fails (ERROR_BROKEN_PIPE) with what was read so far in *done.
    virtual bool ReadFile(void* buffer, DWORD count, DWORD* done) = 0;
    virtual bool WriteFile(const void* buffer, DWORD count, DWORD* done) = 0;

    // A descriptor that polls readable while received bytes wait (or the line
    // has gone away), so a relay can wait on the port and other events at once.
    virtual int poll_fd() const = 0;
    virtual void close() = 0;
    virtual DWORD last_error() const = 0;
};

// --- opening -------------------------------------------------------------------------

class CommOpener {
  public:
    virtual ~CommOpener() = default;
    // Opens a port exclusively for reading and writing. A COM name is made into
    // a path by comm_device_path. Results: ERROR_SUCCESS with `out` set;
    // ERROR_FILE_NOT_FOUND when there is no such device; ERROR_ACCESS_DENIED
    // when another program holds it or permission is lacking; any other code
    // when it could not be opened for another reason (ERROR_INVALID_NAME for an
    // empty name). The codes come from comm_open_path and comm_open_error.
    virtual DWORD open(const char* com_name_or_path, std::unique_ptr<CommPort>& out) = 0;
};

// The opener in force: the real one unless a test installed another.
CommOpener& comm_opener();
// Installs `opener` (nullptr restores the real one); returns the previous one.
CommOpener* set_comm_opener(CommOpener* opener);

// The device path of a COM name: a tty name under /dev ("ttyS0", "ttyUSB0",
// "pts/3" -> "/dev/pts/3"); an absolute path is used as it is. A leading "\\.\"
// and a trailing ':' (forms of the device name in the design) are dropped.
std::string comm_device_path(const char* com_name);

// --- status codes, shared by the real line and the fake one ---------------------------

// The path to open for a COM name: ERROR_SUCCESS with `path` set, or
// ERROR_INVALID_NAME for a name that names no device at all (empty). An empty
// name is not an absent device: nothing will ever appear under it.
DWORD comm_open_path(const char* com_name, std::string* path);
// The open result for a device path that open(2) or the exclusive lock refused
// with `err`: ERROR_FILE_NOT_FOUND for no such device, ERROR_ACCESS_DENIED for a
// device held elsewhere (EBUSY) or not permitted, another code otherwise.
DWORD comm_open_error(int err);
// The status of a failed call on an open line: ERROR_BROKEN_PIPE when the line
// has gone away (EIO, EPIPE), ERROR_TIMEOUT for EAGAIN, ERROR_INVALID_PARAMETER
// for a request the driver does not know, else the shared errno meaning.
DWORD comm_line_error(int err);

}  // namespace varolan::serial
