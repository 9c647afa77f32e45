// The run-time library string and memory helpers drivers use with registry names.
#include "platform/wdm.h"

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  // The counted lengths are 16-bit byte counts: longer sources are cut, as the platform does.
  constexpr size_t kMaxBytes = 0xFFFC;
  size_t bytes = 0;
  if (SourceString) {
    while (SourceString[bytes / 2] != 0 && bytes < kMaxBytes) bytes += 2;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? bytes + 2 : 0);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const UCHAR* a = static_cast<const UCHAR*>(Source1);
  const UCHAR* b = static_cast<const UCHAR*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}
