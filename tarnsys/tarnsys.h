/* TARNSYS: SMBIOS identification data for other programs. The library copies the SMBIOS structure
   table when a process loads it and answers these six queries from that copy. Every argument and
   result takes 32 bits; on Windows the functions are stdcall and exported under these plain names
   (TARNSYS.dll, ordinals 1 to 6); on Linux libtarnsys.so exports them with C linkage. Instances
   count from 0: instance 0 is the first structure of its type in the table.
   The callers' header: plain C or C++, nothing else needed. */
#ifndef TARNSYS_H
#define TARNSYS_H

#if defined(_WIN32) && !defined(TARNSYS_CALL)
#define TARNSYS_CALL __stdcall
#elif !defined(TARNSYS_CALL)
#define TARNSYS_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reserved: ignores its arguments and answers 0. */
int TARNSYS_CALL GetAttribute(int a, int b, int c, int d);

/* Writes the 44-character banner with the build date and time (buffer of at least 45 bytes);
   answers 0. */
int TARNSYS_CALL GetDllVersion(char* buffer);

/* The chassis serial number (the service tag) of the instance-th chassis structure, unprintable
   bytes shown as spaces; 1 found, 0 not. */
int TARNSYS_CALL GetServiceTag(char* buffer, int instance);

/* Copies up to bufferSize bytes of the instance-th structure of type (formatted area and strings,
   through its closing double zero); 1 found, 0 not. */
int TARNSYS_CALL GetSmbTable(int type, int instance, int bufferSize, void* buffer);

/* One field of the instance-th structure of type, at offset, rendered as text by valueType (0-7
   numbers, 8 a string); mask selects and shifts bits of the narrower numbers; 1 done, 0 not. */
int TARNSYS_CALL GetSmbTableValue(int type, int offset, int instance, unsigned mask, unsigned valueType,
                                  char* buffer);

/* A system identifier in decimal (buffer of at least 6 bytes); 1 found, 0 not. */
int TARNSYS_CALL GetSystemId(char* buffer);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNSYS_H */
