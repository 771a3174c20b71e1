/* VARN.SYS, the stand-in VARN driver for the end-to-end tests under Wine. Never shipped.

   It serves a simulated machine that the test writes to C:\varn\machine.bin before the driver loads
   (see machine_writer.cpp for the format): physical-memory regions, CMOS banks behind index/data port
   pairs, and the answer of the stage control. The regions are every page that the dry run's machine
   holds, below 1 MiB and past it alike (memory past 1 MiB is RAM, as on a PC, so the tail of an entry
   point in the last paragraph is there); any other byte reads as 0, as in the dry run. It answers the
   five controls with the buffer layouts that ZIM and TARNSYS use, and leaves a record of what
   happened in C:\varn:
     log.txt          one line per load, open, port read and write, staged image, release, close and
                      unload;
                      "counts" lines carry the controls received per code since the load
     cmos-0xPP.bin    each CMOS bank (256 bytes) after every write; read back at the next load, as
                      battery-backed CMOS keeps its bytes across a restart
     staged-N.bin     each staged image exactly as received (N counts on across loads)
   The record is written as things happen, not only at unload, because Wine ends a session without
   unloading its drivers. */
#include <ddk/wdm.h>

int __cdecl _snprintf(char* buffer, size_t count, const char* format, ...);

#define VARN_READ_PHYSICAL 0x222000
#define VARN_WRITE_INDEXED_PORT 0x22200C
#define VARN_READ_INDEXED_PORT 0x222010
#define VARN_STAGE_IMAGE 0x22201C
#define VARN_RELEASE_IMAGE 0x222020

#define MAX_REGIONS 64
#define MAX_BANKS 16
#define MAX_MACHINE_FILE (64u << 20)
#define POOL_TAG 0x4E524156u /* "VARN" */

typedef struct {
  ULONG address;
  ULONG length;
  UCHAR* bytes;
} REGION;

typedef struct {
  USHORT indexPort;
  USHORT dataPort;
  UCHAR bytes[256];
} BANK;

/* Controls received since the load, by code; the last slot counts any other code. */
static const ULONG kCodes[] = {VARN_READ_PHYSICAL, VARN_WRITE_INDEXED_PORT, VARN_READ_INDEXED_PORT,
                               VARN_STAGE_IMAGE, VARN_RELEASE_IMAGE};
#define CODE_SLOTS (sizeof kCodes / sizeof kCodes[0] + 1)

static struct {
  UCHAR* file; /* the machine file; the regions point into it */
  REGION regions[MAX_REGIONS];
  ULONG regionCount;
  BANK banks[MAX_BANKS];
  ULONG bankCount;
  LONG stageResult;
  BOOLEAN stageFails;
  ULONG refuseAt; /* the ordinal of the one control refused, counted from 1 since the load; 0 none */
  ULONG controls;
  ULONG counts[CODE_SLOTS];
  ULONG failed;
} g;

/* ---- files under C:\varn */

static NTSTATUS OpenFile(const char* name, ACCESS_MASK access, ULONG disposition, HANDLE* handle) {
  WCHAR path[96];
  const WCHAR prefix[] = L"\\??\\C:\\varn\\";
  ULONG n = 0;
  for (; prefix[n] != 0; ++n) path[n] = prefix[n];
  for (ULONG i = 0; name[i] != 0 && n + 1 < sizeof path / sizeof path[0]; ++i) path[n++] = (WCHAR)name[i];
  path[n] = 0;
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  IO_STATUS_BLOCK io;
  return ZwCreateFile(handle, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
}

static BOOLEAN WriteWhole(HANDLE file, const void* data, ULONG size) {
  IO_STATUS_BLOCK io;
  return NT_SUCCESS(ZwWriteFile(file, NULL, NULL, NULL, &io, (PVOID)data, size, NULL, NULL)) &&
         io.Information == size;
}

static BOOLEAN StoreFile(const char* name, ULONG disposition, const void* data, ULONG size) {
  HANDLE file;
  if (!NT_SUCCESS(OpenFile(name, GENERIC_WRITE, disposition, &file))) return FALSE;
  const BOOLEAN ok = WriteWhole(file, data, size);
  ZwClose(file);
  return ok;
}

/* Reads a whole file into a pool block; NULL when it is missing, unreadable or too large. */
static UCHAR* LoadFile(const char* name, ULONG* size) {
  HANDLE file;
  if (!NT_SUCCESS(OpenFile(name, GENERIC_READ, FILE_OPEN, &file))) return NULL;
  UCHAR* data = NULL;
  IO_STATUS_BLOCK io;
  FILE_STANDARD_INFORMATION info;
  if (NT_SUCCESS(ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation)) &&
      info.EndOfFile.HighPart == 0 && info.EndOfFile.LowPart <= MAX_MACHINE_FILE) {
    *size = info.EndOfFile.LowPart;
    data = ExAllocatePoolWithTag(NonPagedPool, *size ? *size : 1, POOL_TAG);
    if (data != NULL && *size > 0) {
      LARGE_INTEGER at;
      at.QuadPart = 0;
      if (!NT_SUCCESS(ZwReadFile(file, NULL, NULL, NULL, &io, data, *size, &at, NULL)) ||
          io.Information != *size) {
        ExFreePoolWithTag(data, POOL_TAG);
        data = NULL;
      }
    }
  }
  ZwClose(file);
  return data;
}

static void Log(const char* line) {
  char text[512];
  int n = _snprintf(text, sizeof text - 1, "%s\r\n", line);
  if (n < 0) n = sizeof text - 1;
  HANDLE file;
  if (!NT_SUCCESS(OpenFile("log.txt", FILE_APPEND_DATA, FILE_OPEN_IF, &file))) return;
  WriteWhole(file, text, (ULONG)n);
  ZwClose(file);
}

static void LogCounts(const char* when) {
  char line[256];
  _snprintf(line, sizeof line,
            "counts %s 0x222000=%lu 0x22200C=%lu 0x222010=%lu 0x22201C=%lu 0x222020=%lu other=%lu failed=%lu",
            when, g.counts[0], g.counts[1], g.counts[2], g.counts[3], g.counts[4], g.counts[5], g.failed);
  Log(line);
}

static void BankFileName(const BANK* bank, char* name, size_t size) {
  _snprintf(name, size, "cmos-0x%02X.bin", bank->indexPort);
}

/* ---- the machine file

   "VARNMCH1", u32 flags (bit 0: the stage control fails; bits 8-31: the ordinal, from 1, of the one
   control refused, as a driver failing once would, 0 for none), i32 stage result, u32 region count, u32 bank
   count, then each region {u32 address, u32 length, bytes}, then each bank {u16 index port, u16 data
   port, 256 bytes}; little-endian. */

static ULONG Le32(const UCHAR* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((ULONG)p[3] << 24); }
static USHORT Le16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }

static const char* LoadMachine(void) {
  ULONG size = 0;
  g.file = LoadFile("machine.bin", &size);
  if (g.file == NULL) return "machine.bin cannot be read";
  const UCHAR* p = g.file;
  const UCHAR* end = g.file + size;
  if (size < 24 || RtlCompareMemory(p, "VARNMCH1", 8) != 8) return "machine.bin has no VARNMCH1 header";
  g.stageFails = (Le32(p + 8) & 1) != 0;
  g.refuseAt = Le32(p + 8) >> 8;
  g.stageResult = (LONG)Le32(p + 12);
  const ULONG regions = Le32(p + 16), banks = Le32(p + 20);
  if (regions > MAX_REGIONS || banks > MAX_BANKS) return "machine.bin has too many regions or banks";
  p += 24;
  /* A region or bank is counted only once the file is known to hold it whole. */
  for (ULONG i = 0; i < regions; ++i) {
    if ((ULONG)(end - p) < 8) return "machine.bin ends inside a region header";
    REGION* r = &g.regions[g.regionCount];
    r->address = Le32(p);
    r->length = Le32(p + 4);
    p += 8;
    if ((ULONG)(end - p) < r->length) return "machine.bin ends inside a region";
    r->bytes = (UCHAR*)p;
    p += r->length;
    ++g.regionCount;
  }
  for (ULONG i = 0; i < banks; ++i) {
    if ((ULONG)(end - p) < 260) return "machine.bin ends inside a CMOS bank";
    BANK* b = &g.banks[g.bankCount++];
    b->indexPort = Le16(p);
    b->dataPort = Le16(p + 2);
    RtlCopyMemory(b->bytes, p + 4, 256);
    p += 260;
    /* A bank written during an earlier load holds what CMOS holds now. */
    char name[32];
    ULONG kept = 0;
    BankFileName(b, name, sizeof name);
    UCHAR* saved = LoadFile(name, &kept);
    if (saved != NULL) {
      if (kept == 256) RtlCopyMemory(b->bytes, saved, 256);
      ExFreePoolWithTag(saved, POOL_TAG);
    }
  }
  if (p != end) return "machine.bin has bytes after its last bank";
  return NULL;
}

/* A byte of physical memory: the last region that covers it, else 0 (nothing there). The address
   wraps at 4 GiB, as the dry run's memory does. */
static UCHAR ReadPhysical(ULONG address) {
  for (ULONG i = g.regionCount; i-- > 0;) {
    const REGION* r = &g.regions[i];
    if (address - r->address < r->length) return r->bytes[address - r->address];
  }
  return 0;
}

static BANK* FindBank(USHORT indexPort) {
  for (ULONG i = 0; i < g.bankCount; ++i)
    if (g.banks[i].indexPort == indexPort) return &g.banks[i];
  return NULL;
}

static ULONG Crc32(const UCHAR* data, ULONG size) {
  ULONG crc = 0xFFFFFFFF;
  for (ULONG i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

/* Keeps a staged image as staged-N.bin, N the first number not yet taken. */
static void KeepImage(const UCHAR* data, ULONG size, char* name, size_t nameSize) {
  for (int n = 1; n < 1000; ++n) {
    _snprintf(name, nameSize, "staged-%d.bin", n);
    HANDLE file;
    NTSTATUS status = OpenFile(name, GENERIC_WRITE, FILE_CREATE, &file);
    if (status == STATUS_OBJECT_NAME_COLLISION) continue;
    if (NT_SUCCESS(status)) {
      if (size > 0) WriteWhole(file, data, size);
      ZwClose(file);
    }
    return;
  }
  _snprintf(name, nameSize, "-");
}

/* ---- the controls */

static NTSTATUS Control(ULONG code, UCHAR* buffer, ULONG inSize, ULONG outSize, ULONG_PTR* returned) {
  char line[160];
  switch (code) {
    case VARN_READ_PHYSICAL: {
      if (inSize != 8 || outSize < 1) return STATUS_INVALID_PARAMETER;
      const ULONG address = Le32(buffer);
      for (ULONG i = 0; i < outSize; ++i) buffer[i] = ReadPhysical(address + i);
      *returned = outSize;
      return STATUS_SUCCESS;
    }
    case VARN_WRITE_INDEXED_PORT:
    case VARN_READ_INDEXED_PORT: {
      const BOOLEAN read = code == VARN_READ_INDEXED_PORT;
      if (inSize != 7 || outSize != (read ? 7u : 0u)) return STATUS_INVALID_PARAMETER;
      const USHORT indexPort = Le16(buffer), index = Le16(buffer + 2), dataPort = Le16(buffer + 4);
      BANK* bank = FindBank(indexPort);
      if (bank == NULL || bank->dataPort != dataPort || index > 0xFF) return STATUS_INVALID_PARAMETER;
      if (read) {
        buffer[6] = bank->bytes[index]; /* bytes 0-5 stay as the request had them */
        *returned = 7;
        _snprintf(line, sizeof line, "read 0x%02X 0x%02X", indexPort, index);
        Log(line);
        return STATUS_SUCCESS;
      }
      _snprintf(line, sizeof line, "write 0x%02X 0x%02X 0x%02X->0x%02X", indexPort, index, bank->bytes[index],
                buffer[6]);
      bank->bytes[index] = buffer[6];
      char name[32];
      BankFileName(bank, name, sizeof name);
      if (!StoreFile(name, FILE_OVERWRITE_IF, bank->bytes, 256)) Log("error: a CMOS bank cannot be kept");
      Log(line);
      return STATUS_SUCCESS;
    }
    case VARN_STAGE_IMAGE: {
      if (outSize != 4) return STATUS_INVALID_PARAMETER;
      if (g.stageFails) {
        _snprintf(line, sizeof line, "stage %lu refused", inSize);
        Log(line);
        return STATUS_UNSUCCESSFUL;
      }
      char name[32];
      KeepImage(buffer, inSize, name, sizeof name);
      _snprintf(line, sizeof line, "stage %lu 0x%08lX %s result %ld", inSize, Crc32(buffer, inSize), name,
                g.stageResult);
      Log(line);
      const ULONG v = (ULONG)g.stageResult;
      for (int i = 0; i < 4; ++i) buffer[i] = (UCHAR)(v >> (8 * i));
      *returned = 4;
      return STATUS_SUCCESS;
    }
    case VARN_RELEASE_IMAGE: {
      if (inSize != 4 || outSize != 0) return STATUS_INVALID_PARAMETER;
      _snprintf(line, sizeof line, "release %ld", (LONG)Le32(buffer));
      Log(line);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG slot = 0;
  while (slot < CODE_SLOTS - 1 && kCodes[slot] != code) ++slot;
  ++g.counts[slot];
  ULONG_PTR returned = 0;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (++g.controls == g.refuseAt) {
    char line[48];
    _snprintf(line, sizeof line, "refused control %lu", g.controls);
    Log(line);
    status = STATUS_UNSUCCESSFUL;
  } else if (buffer != NULL || (inSize == 0 && outSize == 0)) {
    status = Control(code, buffer, inSize, outSize, &returned);
  }
  if (!NT_SUCCESS(status)) {
    ++g.failed;
    returned = 0;
  }
  return Complete(irp, status, returned);
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  Log("open");
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  LogCounts("close");
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static void NTAPI Unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\VARN");
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
  LogCounts("unload");
  if (g.file != NULL) ExFreePoolWithTag(g.file, POOL_TAG);
  g.file = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  const char* problem = LoadMachine();
  char line[160];
  _snprintf(line, sizeof line, "load regions %lu banks %lu stage %s %ld%s%s", g.regionCount, g.bankCount,
            g.stageFails ? "fails" : "answers", g.stageResult, problem ? " error: " : "",
            problem ? problem : "");
  Log(line);

  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\VARN");
  RtlInitUnicodeString(&link, L"\\DosDevices\\VARN");
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
