package lcmptest;

import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.concat;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadInfo;

/** Frames for a session on the veth pair of netns_java.sh (lcmp0 for the session, lcmp1 to send). */
final class Wire {
    private Wire() {}

    static final String SESSION = "lcmp0";
    static final String PEER = "lcmp1";

    /** Whether the long forms of the soak and concurrency tests run (LCMP_LONG=1). */
    static boolean longForm() {
        return "1".equals(System.getenv("LCMP_LONG"));
    }

    /** An LCMP frame from {@code source} to {@code destination} (8-byte link header, then the payload). */
    static byte[] frame(byte[] destination, byte[] source, int opcode, int sequence, byte[] payload) {
        byte[] head = concat(destination, source, bytes(0x22, 0xE3),
                bytes(payload.length & 0xFF, ((payload.length >> 8) & 0x0F) | ((opcode & 0x0F) << 4),
                        (opcode >> 4) & 0xFF, 0, 0, sequence & 0xFF, (sequence >> 8) & 0xFF, 0));
        return concat(head, payload);
    }

    /** Every live thread with its stack, for a watchdog's failure message. */
    static String threadDump() {
        StringBuilder dump = new StringBuilder();
        for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(true, true)) {
            dump.append(info);
        }
        return dump.toString();
    }
}
