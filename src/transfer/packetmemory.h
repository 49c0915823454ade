#pragma once

namespace Vesk {

// Every file packet passes through several buffers of about a megabyte on each side: the file chunk, the encoded
// message, the socket's buffers, the decoded bytes. The C library serves buffers this large as freshly mapped
// pages and gives them back to the kernel when they are freed, so every packet paid for hundreds of page faults
// per buffer, most of a transfer's processor time (and far more on a virtual machine). From the first transfer
// on, such buffers stay in the process's heap and the next packet reuses memory that is already mapped. Memory use
// does not grow by it: the buffers are the same size packet after packet. Safe to call any number of times.
void keepPacketBuffersMapped();

} // namespace Vesk
