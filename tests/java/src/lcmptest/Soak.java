package lcmptest;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_CONFIRM;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPTimeOutException;
import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Queue;
import java.util.Set;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

/**
 * An end-to-end soak of device mode from Java, for DeviceTest and the Java benchmark: thread t
 * writes values only it knows to parameter 0x10 + t of device t through LCMP_Write_Wrapper and
 * reads them back through LCMP_Read_Wrapper, while a second process (lcmp-ctl runs, one after
 * another, on the same adapter) reads that parameter and one of the starting table from the same
 * devices. Every call must return its own request's answer or an LCMPTimeOutException; anything
 * else is counted as wrong and described. The session is open and the devices are lcmp-device's,
 * with its starting table.
 */
public final class Soak {
    /** lcmp-device's starting table, parameters 01 to 08, as lcmp-ctl prints it. */
    private static final String[] TABLE = {"4C434D50", "0100", "00000000", "05DC", "0102A0", "00", "DEADBEEF",
        "0011223344556677"};

    public final AtomicLong calls = new AtomicLong(), answered = new AtomicLong(), timeouts = new AtomicLong(),
            wrong = new AtomicLong(), failed = new AtomicLong();
    public final AtomicLong ctlRuns = new AtomicLong(), ctlAnswered = new AtomicLong(),
            ctlTimeouts = new AtomicLong(), ctlWrong = new AtomicLong();
    /** The first wrong answers and failures, described. */
    public final Queue<String> examples = new ConcurrentLinkedQueue<>();
    public double seconds;

    private final AtomicBoolean stop = new AtomicBoolean();

    private Soak() {}

    public double rate() {
        return seconds > 0 ? calls.get() / seconds : 0;
    }

    @Override
    public String toString() {
        return String.format("%d calls in %.1f s (%.0f/s): %d answered, %d timed out, %d wrong, %d failed;"
                + " lcmp-ctl: %d reads, %d answered, %d timed out, %d wrong%s", calls.get(), seconds, rate(),
                answered.get(), timeouts.get(), wrong.get(), failed.get(), ctlRuns.get(), ctlAnswered.get(),
                ctlTimeouts.get(), ctlWrong.get(), examples.isEmpty() ? "" : "; " + examples);
    }

    private void note(AtomicLong counter, String what) {
        counter.incrementAndGet();
        if (examples.size() < 10) examples.add(what);
    }

    static String hex(byte[] bytes, String between) {
        StringBuilder b = new StringBuilder();
        for (byte x : bytes) {
            if (b.length() > 0) b.append(between);
            b.append(String.format("%02X", x & 0xFF));
        }
        return b.toString();
    }

    private static String describe(LCMPResponse r) {
        StringBuilder b = new StringBuilder("from " + hex(r.getDeviceAddress(), ":"));
        for (HGF_TLV t : r.getHGF_TLVs()) {
            b.append(" [").append(t.getHGF_TLV_Type());
            if (t instanceof HGF_PARAMETER_TLV) {
                HGF_PARAMETER_TLV p = (HGF_PARAMETER_TLV) t;
                b.append(String.format(" %02X ", p.getParamterType() & 0xFF)).append(hex(p.getParameterValue(), ""));
            } else if (t instanceof HGF_CONFIRM) {
                for (byte[] id : ((HGF_CONFIRM) t).getParameters()) b.append(' ').append(hex(id, ""));
            }
            b.append(']');
        }
        return b.toString();
    }

    /** Whether a write's answer confirms parameter {@code id} of {@code device}, and nothing else. */
    private static boolean confirms(LCMPResponse r, byte[] device, int id) {
        List<HGF_TLV> tlvs = r.getHGF_TLVs();
        if (!Arrays.equals(device, r.getDeviceAddress()) || tlvs.size() != 1 || !(tlvs.get(0) instanceof HGF_CONFIRM)) {
            return false;
        }
        HGF_CONFIRM c = (HGF_CONFIRM) tlvs.get(0);
        return c.getHGF_TLV_Type() == HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM && c.getParameters().size() == 1
                && Arrays.equals(new byte[] {(byte) id}, c.getParameters().get(0));
    }

    /** The value of parameter {@code id} in a read's answer from {@code device}, or null if it holds anything else. */
    private static String value(LCMPResponse r, byte[] device, int id) {
        List<HGF_TLV> tlvs = r.getHGF_TLVs();
        if (!Arrays.equals(device, r.getDeviceAddress()) || tlvs.size() != 1
                || !(tlvs.get(0) instanceof HGF_PARAMETER_TLV)) {
            return null;
        }
        HGF_PARAMETER_TLV p = (HGF_PARAMETER_TLV) tlvs.get(0);
        return (p.getParamterType() & 0xFF) == id ? hex(p.getParameterValue(), "") : null;
    }

    private static LCMPResponse write(byte[] device, int id, byte[] value) throws LCMPException {
        ArrayList<HGF_PARAMETER_TLV> list = new ArrayList<>();
        list.add(new HGF_PARAMETER_TLV((byte) id, value));
        return LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, list, device);
    }

    private static LCMPResponse read(byte[] device, int id) throws LCMPException {
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        list.add(new HGF_READ_PARAMETER_TLV((byte) id));
        return LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, list, device);
    }

    private static byte[] valueOf(int t, int n) {
        return new byte[] {(byte) t, (byte) (n >> 24), (byte) (n >> 16), (byte) (n >> 8), (byte) n};
    }

    /**
     * Thread t, until stopped. A device holds the value of the last write that reached it; after a
     * timed-out write that may be the new value or an earlier one, so a read may return any value
     * written since the last one confirmed.
     */
    private void worker(int t, byte[] device) {
        final int id = 0x10 + t;
        Set<String> possible = new HashSet<>(List.of(hex(valueOf(t, 0), "")));
        for (int n = 1; !stop.get(); n++) {
            byte[] value = valueOf(t, n);
            calls.incrementAndGet();
            try {
                LCMPResponse r = write(device, id, value);
                if (!confirms(r, device, id)) {
                    note(wrong, "thread " + t + " write of " + hex(value, "") + " answered " + describe(r));
                    continue;
                }
                answered.incrementAndGet();
                possible.clear();
            } catch (LCMPTimeOutException e) {
                timeouts.incrementAndGet();
            } catch (LCMPException | RuntimeException e) {
                note(failed, "thread " + t + " write: " + e);
            }
            possible.add(hex(value, ""));

            calls.incrementAndGet();
            try {
                LCMPResponse r = read(device, id);
                String got = value(r, device, id);
                if (got == null || !possible.contains(got)) {
                    note(wrong, "thread " + t + " read back " + describe(r) + ", not one of " + possible);
                    continue;
                }
                answered.incrementAndGet();
                possible.retainAll(Set.of(got));
            } catch (LCMPTimeOutException e) {
                timeouts.incrementAndGet();
            } catch (LCMPException | RuntimeException e) {
                note(failed, "thread " + t + " read: " + e);
            }
        }
    }

    /** The second process: lcmp-ctl reads of thread t's parameter and a table parameter, t in turn. */
    private void secondProcess(String ctl, String adapter, int timeoutMs, int attempts, byte[][] devices) {
        for (int t = 0; !stop.get(); t = (t + 1) % devices.length) {
            String mac = hex(devices[t], ":");
            String own = String.format("%02X", 0x10 + t);
            String table = String.format("%02X", 1 + t % 8);
            ctlRuns.incrementAndGet();
            List<String> lines = new ArrayList<>();
            int status;
            try {
                Process p = new ProcessBuilder(ctl, "-i", adapter, "-t", String.valueOf(timeoutMs), "-a",
                        String.valueOf(attempts), "read", mac, own, table)
                        .redirectError(ProcessBuilder.Redirect.DISCARD).start();
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                try (InputStream in = p.getInputStream()) {
                    in.transferTo(out);
                }
                status = p.waitFor(30, TimeUnit.SECONDS) ? p.exitValue() : -1;
                for (String line : out.toString().split("\n")) {
                    if (!line.isEmpty() && !line.startsWith("/")) lines.add(line);  // not the library's registry line
                }
            } catch (Exception e) {
                note(ctlWrong, "lcmp-ctl did not run: " + e);
                return;
            }
            String ownLine = mac + " " + own + " " + String.format("%02X", t);
            if (status == 0 && lines.size() == 2 && lines.get(0).startsWith(ownLine)
                    && lines.get(0).length() == ownLine.length() + 8
                    && lines.get(1).equals(mac + " " + table + " " + TABLE[t % 8])) {
                ctlAnswered.incrementAndGet();
            } else if (status == 1 && lines.isEmpty()) {
                ctlTimeouts.incrementAndGet();
            } else {
                note(ctlWrong, "lcmp-ctl read of " + own + " " + table + " from " + mac + ": status " + status + " "
                        + lines);
            }
        }
    }

    /**
     * Gives every thread's parameter its first value, then runs one thread per device and, unless
     * {@code ctl} is null, lcmp-ctl runs (with the session's timeout and attempts) for {@code millis}.
     */
    public static Soak run(byte[][] devices, String ctl, String adapter, int timeoutMs, int attempts, long millis)
            throws InterruptedException {
        Soak soak = new Soak();
        for (int t = 0; t < devices.length; t++) {
            for (int tries = 0; tries < 50; tries++) {
                try {
                    if (confirms(write(devices[t], 0x10 + t, valueOf(t, 0)), devices[t], 0x10 + t)) break;
                } catch (LCMPException e) {
                    // lost on the link: once more
                }
            }
        }
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < devices.length; t++) {
            final int n = t;
            threads.add(new Thread(() -> soak.worker(n, devices[n]), "soak " + t));
        }
        if (ctl != null) {
            threads.add(new Thread(() -> soak.secondProcess(ctl, adapter, timeoutMs, attempts, devices), "lcmp-ctl runs"));
        }
        long start = System.nanoTime();
        for (Thread thread : threads) thread.start();
        Thread.sleep(millis);
        soak.stop.set(true);
        for (Thread thread : threads) {
            thread.join(TimeUnit.SECONDS.toMillis(60));
            if (thread.isAlive()) soak.note(soak.failed, "stuck: " + thread.getName());
        }
        soak.seconds = (System.nanoTime() - start) / 1e9;
        return soak;
    }
}
