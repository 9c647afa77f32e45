// The USB side of a camera: the device objects the driver talks to, the configuration it
// selected, and the bookkeeping of the frame read in progress.
#pragma once

#include "platform/wdm.h"

struct _USBD_INTERFACE_INFORMATION;
struct _URB_BULK_OR_INTERRUPT_TRANSFER;
struct UsbTransport;

// One chunk request of the frame being read.
struct FrameChunk {
  UsbTransport* owner;                           // where the completion counts and signals
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb;  // owned, 128 bytes
  PIRP irp;                                      // owned
  PMDL partial_mdl;                              // owned, attached to the IRP as its MdlAddress
  volatile LONG completed;                       // 0 while the request is outstanding
};

struct UsbTransport {
  PDEVICE_OBJECT physical_device;    // opens the device's registry key
  PDEVICE_OBJECT lower_device;       // target of every USB request
  PDEVICE_OBJECT functional_device;
  PUCHAR config_descriptor;                            // owned; null while unconfigured
  struct _USBD_INTERFACE_INFORMATION* interface_info;  // owned copy; null while unconfigured
  PUCHAR pipe_flags;                                   // owned, one byte per pipe; nonzero = abort
  KEVENT frame_done;                 // set when every chunk of a frame read has completed
  FrameChunk* chunks;                // owned; the requests of the frame being read
  volatile LONG completed_count;
  volatile LONG chunk_count;
  KSPIN_LOCK transfer_lock;          // guards chunks while the chain is built or cancelled
  PMDL buffer_mdl;                   // owned; the whole destination buffer of the frame read
  // Set (under transfer_lock) while the capture thread is being stopped: a frame read then
  // submits nothing more and does not wait, it cancels what it queued and fails.
  volatile LONG cancel_reads;
  // Camera-control state, touched only by the holder of the camera's control mutex: nesting
  // depth of the holder's operations, whether a packet of the current operation timed out, and
  // how many reply packets the camera may still send for earlier requests.
  LONG control_depth;
  LONG control_timed_out;
  LONG stale_replies;
};
