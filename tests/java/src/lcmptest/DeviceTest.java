package lcmptest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_CONFIRM;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPTimeOutException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPSession;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Queue;
import java.util.Set;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Device mode end to end: an LCMPSession on lcmp0 and simulated devices (lcmp-device, whose path
 * the system property lcmp.device gives) on lcmp1, inside a network namespace of the test's own
 * (netns_java.sh), as root. The devices hold the simulator's built-in parameter table.
 */
class DeviceTest {
    private static final int DEVICES = 50;
    private static final int TIMEOUT_MS = 300;
    private static final int ATTEMPTS = 3;
    private static final byte[] MULTICAST = {0x01, 0x19, (byte) 0xA7, 0x52, 0x76, (byte) 0x96};
    /** The built-in table: parameter i + 1 holds TABLE[i]. */
    private static final byte[][] TABLE = {
        Lcmp.bytes(0x4C, 0x43, 0x4D, 0x50), Lcmp.bytes(0x01, 0x00), Lcmp.bytes(0, 0, 0, 0), Lcmp.bytes(0x05, 0xDC),
        Lcmp.bytes(0x01, 0x02, 0xA0), Lcmp.bytes(0x00), Lcmp.bytes(0xDE, 0xAD, 0xBE, 0xEF),
        Lcmp.bytes(0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77)};

    private static Simulator devices;
    private static LCMPSession session;

    /** The address of simulated device {@code i} of a simulator whose first device is 02:00:00:00:{first}:01. */
    private static byte[] device(int first, int i) {
        int low = (first << 8) + 1 + i;
        return Lcmp.bytes(0x02, 0x00, 0x00, (low >> 16) & 0xFF, (low >> 8) & 0xFF, low & 0xFF);
    }

    private static byte[] device(int i) {
        return device(1, i);
    }

    /** One lcmp-device process on lcmp1, ready once it says it is listening. */
    private static final class Simulator {
        private final Process process;

        Simulator(String... arguments) throws Exception {
            String binary = System.getProperty("lcmp.device");
            assertNotNull(binary, "the system property lcmp.device names the simulator");
            List<String> command = new ArrayList<>(Arrays.asList(binary, "-i", Wire.PEER));
            command.addAll(Arrays.asList(arguments));
            process = new ProcessBuilder(command).redirectOutput(ProcessBuilder.Redirect.INHERIT).start();
            CountDownLatch listening = new CountDownLatch(1);
            Thread reader = new Thread(() -> {
                try (BufferedReader err = new BufferedReader(
                        new InputStreamReader(process.getErrorStream(), StandardCharsets.UTF_8))) {
                    for (String line; (line = err.readLine()) != null; ) {
                        System.out.println("[lcmp-device] " + line);
                        if (line.contains("listening")) listening.countDown();
                    }
                } catch (java.io.IOException e) {
                    // the process is gone
                }
            }, "lcmp-device stderr");
            reader.setDaemon(true);
            reader.start();
            if (!listening.await(20, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                fail("lcmp-device " + command + " did not start listening");
            }
        }

        void stop() throws InterruptedException {
            // SIGTERM: a clean exit with status 0, once the summary is written. (Process.destroy
            // would close the pipe the summary goes to first.)
            process.toHandle().destroy();
            assertTrue(process.waitFor(10, TimeUnit.SECONDS), "lcmp-device did not stop");
            assertEquals(0, process.exitValue(), "lcmp-device's exit status");
        }
    }

    @BeforeAll
    static void start() throws Exception {
        assertEquals(0, LCMPCommManager.initIDs());
        devices = new Simulator("-n", String.valueOf(DEVICES));
        session = LCMPSession.open(Wire.SESSION, TIMEOUT_MS, ATTEMPTS);
    }

    @AfterAll
    static void stop() throws Exception {
        if (session != null) session.close();
        if (devices != null) devices.stop();
    }

    @AfterEach
    void cleanUp() {
        LCMPSession.setNotificationCallBack(null);
        Lcmp.unregisterAll();
    }

    private static ArrayList<HGF_READ_PARAMETER_TLV> ids(int... ids) {
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        for (int id : ids) list.add(new HGF_READ_PARAMETER_TLV((byte) id));
        return list;
    }

    private static ArrayList<HGF_PARAMETER_TLV> values(int id, byte[] value) {
        ArrayList<HGF_PARAMETER_TLV> list = new ArrayList<>();
        list.add(new HGF_PARAMETER_TLV((byte) id, value));
        return list;
    }

    private static LCMPResponse read(byte[] device, int... ids) throws LCMPException {
        return LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, ids(ids), device);
    }

    private static void awaitCalls(Recorder r, int calls) throws InterruptedException {
        for (int i = 0; i < 300 && r.calls() < calls; ++i) Thread.sleep(10);
        Thread.sleep(50);  // and no more than that
        assertEquals(calls, r.calls());
    }

    @Test
    void readWriteReadBackAndControlEachAnswerReachingEveryCallbackOnce() throws Exception {
        byte[] d = device(0);
        Recorder confirmations = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        Recorder others = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_REQ);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(confirmations));
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(others));

        List<HGF_TLV> read = read(d, 1, 7, 0x7F).getHGF_TLVs();  // 0x7F: a parameter the device lacks
        assertEquals(2, read.size());
        assertEquals(1, Lcmp.parameter(read.get(0)).getParamterType());
        assertArrayEquals(TABLE[0], Lcmp.parameter(read.get(0)).getParameterValue());
        assertEquals(7, Lcmp.parameter(read.get(1)).getParamterType());
        assertArrayEquals(TABLE[6], Lcmp.parameter(read.get(1)).getParameterValue());
        // The device's answer from the receive thread, with its address; the wrapper's own
        // walk on this thread for the callback of another opcode only.
        awaitCalls(confirmations, 1);
        assertArrayEquals(d, confirmations.last().getDeviceAddress());
        assertEquals(2, confirmations.last().getHGF_TLVs().size());
        awaitCalls(others, 1);
        assertEquals(Thread.currentThread(), others.threads().get(0));

        byte[] value = Lcmp.bytes(0x12, 0x34, 0x56, 0x78);
        LCMPResponse written = LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, values(3, value), d);
        HGF_CONFIRM confirm = Lcmp.confirm(written.getHGF_TLVs().get(0));
        assertEquals(HGF_TLV_Type.HGF_WRITE_PARAMETER_CONFIRM, confirm.getHGF_TLV_Type());
        assertArrayEquals(Lcmp.bytes(3), confirm.getParameters().get(0));
        assertArrayEquals(value, Lcmp.parameter(read(d, 3).getHGF_TLVs().get(0)).getParameterValue());
        assertArrayEquals(TABLE[2], Lcmp.parameter(read(device(3), 3).getHGF_TLVs().get(0)).getParameterValue(),
                "another device keeps its own value");

        LCMPResponse controlled = LCMPCommManager.LCMP_Control_Wrapper((byte) 0, (byte) 0,
                values(6, Lcmp.bytes(0x01)), d);
        HGF_CONFIRM control = Lcmp.confirm(controlled.getHGF_TLVs().get(0));
        assertEquals(HGF_TLV_Type.HGF_CONTROL_CONFIRM, control.getHGF_TLV_Type());
        assertArrayEquals(Lcmp.bytes(6), control.getParameters().get(0));
    }

    @Test
    void subscriptionIsConfirmedAndAWriteBringsANotification() throws Exception {
        byte[] d = device(1);
        Recorder confirmation = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        Recorder notifications = new Recorder(HGF_TLV_Type.HGF_NOTIFY, LCMP_OPCODE_Type.LCMP_NOTIFY_IND);
        LCMPSession.setNotificationCallBack(notifications);
        ArrayList<HGF_NOTIFY_TLV> subscription = new ArrayList<>();
        subscription.add(new HGF_NOTIFY_TLV((byte) 7, new byte[0]));
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, subscription, d, (byte) 0, confirmation);
        awaitCalls(confirmation, 1);
        assertArrayEquals(d, confirmation.last().getDeviceAddress());
        assertEquals(0, notifications.calls(), "no notification before the write");

        // A one-shot callback takes the response of the device its subscription addressed only.
        Recorder silent = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        Recorder answered = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, subscription, device(9, 0), (byte) 0, silent);
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, subscription, d, (byte) 0, answered);
        awaitCalls(answered, 1);
        assertEquals(0, silent.calls(), "another device's notify response");
        // A subscription that fails leaves no callback behind to take the next one's response.
        Recorder refused = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        LCMPException bad = assertThrows(LCMPException.class,
                () -> LCMPCommManager.LCMP_Notify_Wrapper((byte) 7, (byte) 0, subscription, d, (byte) 0, refused));
        assertEquals("Error on LCMPNotify: destination kind 7 is not one of 0 (the device at deviceAddress), 1 (the"
                + " LCMP multicast address) or 2 (broadcast). (ErrorId: LCMP_ERROR_BAD_ARGS)", bad.getMessage());
        assertEquals(List.of(silent), LCMPCommManager.getRegisteredCallBacks());
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, subscription, d, (byte) 0, confirmation);
        awaitCalls(confirmation, 2);  // the resubscription that the write below notifies about

        byte[] value = Lcmp.bytes(0xA5, 0x5A, 0x00, 0x01);
        LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, values(7, value), d);
        awaitCalls(notifications, 1);
        LCMPResponse notification = notifications.last();
        assertArrayEquals(d, notification.getDeviceAddress());
        HGF_NOTIFY_TLV record = (HGF_NOTIFY_TLV) notification.getHGF_TLVs().get(0);
        assertEquals(7, record.getNotifyType());
        assertArrayEquals(value, record.getNotifyValue());
    }

    @Test
    void groupReadCollectsTheAnswerOfEveryDevice() throws Exception {
        Recorder answers = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(answers));
        LCMPResponse all = LCMPCommManager.LCMP_Read_Wrapper((byte) 1, (byte) 0, ids(4), MULTICAST);
        assertEquals(DEVICES, all.getHGF_TLVs().size());
        for (HGF_TLV tlv : all.getHGF_TLVs()) assertArrayEquals(TABLE[3], Lcmp.parameter(tlv).getParameterValue());
        awaitCalls(answers, DEVICES);
        Set<String> senders = new HashSet<>();
        for (LCMPResponse r : answers.responses()) senders.add(Arrays.toString(r.getDeviceAddress()));
        Set<String> expected = new HashSet<>();
        for (int i = 0; i < DEVICES; i++) expected.add(Arrays.toString(device(i)));
        assertEquals(expected, senders);
    }

    @Test
    void silentAddressTimesOutAfterEveryAttempt() {
        long start = System.nanoTime();
        LCMPTimeOutException e = assertThrows(LCMPTimeOutException.class, () -> read(device(9, 0), 1));
        long elapsedMs = (System.nanoTime() - start) / 1_000_000;
        assertEquals("Error on LCMPRead: no answer from 02:00:00:00:09:01 (3 attempts of 300 ms)."
                + " (ErrorId: LCMP_ERROR_TIMEOUT)", e.getMessage());
        assertTrue(elapsedMs >= (long) TIMEOUT_MS * ATTEMPTS - 50, "all attempts waited for: " + elapsedMs + " ms");
    }

    @Test
    void deviceThatDropsEverySecondRequestIsAnsweredOnTheNextAttempt() throws Exception {
        Simulator lossy = new Simulator("-m", "02:00:00:00:02:01", "--drop-every", "2");
        try {
            for (int i = 0; i < 4; i++) {  // two of them are dropped on their first attempt
                assertArrayEquals(TABLE[1], Lcmp.parameter(read(device(2, 0), 2).getHGF_TLVs().get(0))
                        .getParameterValue());
            }
        } finally {
            lossy.stop();
        }
    }

    @Test
    void tenThousandParameterRead() throws Exception {
        int[] wanted = new int[10_000];
        for (int i = 0; i < wanted.length; i++) wanted[i] = i % 8 + 1;
        List<HGF_TLV> read = read(device(2), wanted).getHGF_TLVs();
        assertEquals(wanted.length, read.size());
        for (int i = 0; i < wanted.length; i++) {
            HGF_PARAMETER_TLV p = Lcmp.parameter(read.get(i));
            assertEquals(wanted[i], p.getParamterType(), "entry " + i);
            assertArrayEquals(TABLE[wanted[i] - 1], p.getParameterValue(), "entry " + i);
        }
    }

    /**
     * Eight threads each write values only they know to the eight devices in turn, each thread to a
     * parameter of its own, and read them back: several requests are outstanding to one device at
     * once, and an answer given to the wrong request shows as another thread's value.
     */
    @Test
    void eightThreadsOnEightDevicesNeverGetAnotherRequestsAnswer() throws Exception {
        long seconds = Wire.longForm() ? 60 : 3;
        long end = System.nanoTime() + seconds * 1_000_000_000L;
        Queue<String> faults = new ConcurrentLinkedQueue<>();
        AtomicInteger rounds = new AtomicInteger();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < 8; t++) {
            final int id = 0x20 + t;
            Thread thread = new Thread(() -> {
                try {
                    for (int n = 0; System.nanoTime() < end && faults.isEmpty(); n++) {
                        byte[] d = device(10 + (id + n) % 8);
                        byte[] mine = Lcmp.bytes(id, n >> 16, n >> 8, n);
                        LCMPResponse w = LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, values(id, mine), d);
                        byte[] confirmed = Lcmp.confirm(w.getHGF_TLVs().get(0)).getParameters().get(0);
                        if (!Arrays.equals(Lcmp.bytes(id), confirmed)) {
                            faults.add("write of " + id + " confirmed " + Arrays.toString(confirmed));
                        }
                        List<HGF_TLV> r = read(d, id).getHGF_TLVs();
                        HGF_PARAMETER_TLV p = Lcmp.parameter(r.get(0));
                        if (r.size() != 1 || p.getParamterType() != id || !Arrays.equals(mine, p.getParameterValue())) {
                            faults.add("thread " + id + " read back " + p.getParamterType() + " "
                                    + Arrays.toString(p.getParameterValue()) + " for " + Arrays.toString(mine));
                        }
                        rounds.incrementAndGet();
                    }
                } catch (LCMPException | RuntimeException e) {
                    faults.add("thread " + id + ": " + e);
                }
            }, "device worker " + t);
            threads.add(thread);
            thread.start();
        }
        for (Thread thread : threads) {
            thread.join(TimeUnit.SECONDS.toMillis(seconds + 60));
            if (thread.isAlive()) fail("a worker is stuck:\n" + Wire.threadDump());
        }
        assertTrue(faults.isEmpty(), faults.toString());
        assertTrue(rounds.get() >= 8, "write-read rounds: " + rounds.get());
        System.out.println("write-read rounds of 8 threads in " + seconds + " s: " + rounds.get());
    }

    /**
     * The soak on a flaky link (20% of the requests lost, 10% of the answers sent twice and 10% later
     * than an attempt waits): eight threads each write values only they know to a device of their own
     * and read them back while lcmp-ctl reads the same devices. Every call ends in its own request's
     * answer or a timeout, never in another's.
     */
    @Test
    void flakyLinkSoakGivesNoCallAnotherRequestsAnswer() throws Exception {
        String ctl = System.getProperty("lcmp.ctl");
        assertNotNull(ctl, "the system property lcmp.ctl names lcmp-ctl");
        Simulator flaky = new Simulator("-m", "02:00:00:00:03:01", "-n", "8", "--loss", "20", "--duplicate", "10",
                "--late", "10:" + (TIMEOUT_MS + 100));
        Soak soak;
        try {
            byte[][] devices = new byte[8][];
            for (int t = 0; t < devices.length; t++) devices[t] = device(3, t);
            soak = Soak.run(devices, ctl, Wire.SESSION, TIMEOUT_MS, ATTEMPTS, Wire.longForm() ? 60_000 : 4_000);
        } finally {
            flaky.stop();
        }
        System.out.println("flaky-link soak: " + soak);
        assertEquals(0, soak.wrong.get() + soak.ctlWrong.get() + soak.failed.get(), soak.toString());
        assertTrue(soak.answered.get() >= 100 && soak.ctlAnswered.get() >= 1, soak.toString());
    }

    @Test
    void requestFromACallbackIsRefusedAtOnceWithTheReason() throws Exception {
        Queue<String> refusals = new ConcurrentLinkedQueue<>();
        Recorder nested = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            try {
                read(device(2), 2);
                refusals.add("answered");
            } catch (LCMPException e) {
                refusals.add(e.getMessage());
            }
        });
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(nested));
        read(device(2), 1);
        for (int i = 0; i < 300 && refusals.isEmpty(); ++i) Thread.sleep(10);
        assertEquals("Error on LCMPRead: a device-mode request cannot be made from a callback: the receive thread"
                + " that runs the callbacks must deliver its answer. Hand the request to another thread."
                + " (ErrorId: LCMP_ERROR_BAD_ARGS)", refusals.poll());
    }

    @Test
    void sessionOpensOnceClosesIdempotentlyAndNamesWhatAnAdapterNeeds() throws Exception {
        List<String> adapters = Arrays.asList(LCMPSession.adapters());
        assertTrue(adapters.contains(Wire.SESSION) && adapters.contains(Wire.PEER), adapters.toString());
        assertFalse(adapters.contains("lo") || adapters.contains("any") || adapters.contains("lcmpdown0"),
                adapters.toString());

        LCMPException twice = assertThrows(LCMPException.class, () -> LCMPSession.open(Wire.SESSION));
        assertTrue(twice.getMessage().endsWith("(ErrorId: LCMP_ERROR_BAD_ARGS)"), twice.getMessage());
        assertThrows(LCMPException.class, () -> LCMPSession.open(Wire.PEER, 0, 1));
        read(device(0), 1);  // the first session still works

        // A callback cannot open a session: it runs on the receive thread.
        List<String> fromCallback = new CopyOnWriteArrayList<>();
        Recorder opener = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            try {
                LCMPSession.open(Wire.SESSION).close();
                fromCallback.add("opened");
            } catch (LCMPException e) {
                fromCallback.add(e.getMessage());
            }
        });
        assertTrue(LCMPCommManager.LCMP_RegisterCallBack(opener));
        read(device(0), 1);
        // At least once: on a slow machine an attempt's late answer reaches the callbacks too.
        for (int i = 0; i < 300 && fromCallback.isEmpty(); ++i) Thread.sleep(10);
        assertFalse(fromCallback.isEmpty());
        for (String refused : fromCallback) {
            assertEquals("Error on LCMPSession.open: sessions cannot be opened from the receive thread (a"
                    + " callback); open it on another thread. (ErrorId: LCMP_ERROR_BAD_ARGS)", refused);
        }
        LCMPException kind = assertThrows(LCMPException.class,
                () -> LCMPCommManager.LCMP_Read_Wrapper((byte) 5, (byte) 0, ids(1), device(0)));
        assertTrue(kind.getMessage().startsWith("Error on LCMPRead: destination kind 5 is not one of 0"),
                kind.getMessage());

        // Closed, the process stays in device mode: a read running across the close and one after it
        // fail, and so does a subscription, which leaves no callback registered.
        String noSession = ": no session is open (LCMPSession.open opens one; LCMPSession.useLocalAnswers() returns to"
                + " local answers). (ErrorId: LCMP_ERROR_SOCKET_NOT_OPENED) [LCMP Wrapper Version=1.0a]";
        List<Object> across = new ArrayList<>();
        Thread reader = new Thread(() -> {
            try {
                across.add(read(device(9, 0), 1));
            } catch (LCMPException e) {
                across.add(e.getMessage());
            }
        }, "read across the close");
        LCMPSession first = session;
        session = null;
        try {
            reader.start();
            Thread.sleep(100);  // the silent address keeps it waiting for 900 ms
            first.close();
            first.close();
            assertFalse(first.isOpen());
            reader.join(5_000);
            assertEquals(List.of("Error on LCMPRead" + noSession), across);
            LCMPException after = assertThrows(LCMPException.class, () -> read(device(0), 1));
            assertEquals("Error on LCMPRead" + noSession, after.getMessage());
            Recorder unanswered = new Recorder(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
            LCMPException notify = assertThrows(LCMPException.class, () -> LCMPCommManager.LCMP_Notify_Wrapper(
                    (byte) 0, (byte) 0, new ArrayList<>(), device(0), (byte) 0, unanswered));
            assertEquals("Error on LCMPNotify" + noSession, notify.getMessage());
            assertEquals(List.of(), LCMPCommManager.getRegisteredCallBacks(), "the dropped and the failed callbacks");

            LCMPException missing = assertThrows(LCMPException.class, () -> LCMPSession.open("lcmp-none"));
            String m = missing.getMessage();
            assertTrue(m.contains("\"lcmp-none\"") && m.contains("root")
                    && m.contains("setcap cap_net_raw,cap_net_admin+eip ")
                    && m.contains("(ErrorId: LCMP_ERROR_SOCKET_NOT_OPENED)"), m);
            assertThrows(LCMPException.class, () -> LCMPSession.open(null));
            LCMPException down = assertThrows(LCMPException.class, () -> LCMPSession.open("lcmpdown0"));
            assertTrue(down.getMessage().contains("\"lcmpdown0\": it is down"), down.getMessage());
            assertThrows(LCMPException.class, () -> read(device(0), 1), "a failed open leaves no local answers");

            // Made-up values only when asked for: parameter 1 reads F0 F1, from no device at all.
            LCMPSession.useLocalAnswers();
            HGF_PARAMETER_TLV local = Lcmp.parameter(read(device(9, 0), 1).getHGF_TLVs().get(0));
            assertEquals(1, local.getParamterType());
            assertArrayEquals(Lcmp.bytes(0xF0, 0xF1), local.getParameterValue());
        } finally {
            session = LCMPSession.open(Wire.SESSION, TIMEOUT_MS, ATTEMPTS);
        }
        first.close();  // an old session's close leaves the new one alone
        assertTrue(session.isOpen());
        assertArrayEquals(TABLE[0], Lcmp.parameter(read(device(0), 1).getHGF_TLVs().get(0)).getParameterValue());
    }
}
