import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_CONFIRM;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_NOTIFY_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_READ_PARAMETER_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPException;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPSession;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.TreeMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Talking to devices: open a session on an adapter, discover the devices with a multicast read,
 * read one device's parameters, subscribe to its notifications, write a parameter, read it back,
 * and receive the notification of the write.
 *
 * <p>usage: LCMPDeviceDemo ADAPTER (needs root, or cap_net_raw,cap_net_admin on the java binary)
 */
public final class LCMPDeviceDemo {
    private LCMPDeviceDemo() {}

    private static final byte[] MULTICAST = {0x01, 0x19, (byte) 0xA7, 0x52, 0x76, (byte) 0x96};

    /** A callback object with fixed filters that hands every response to an action. */
    private abstract static class Listener extends LCMPAbstractCallBack {
        private final HGF_TLV_Type tlvType;
        private final LCMP_OPCODE_Type opcode;

        Listener(HGF_TLV_Type tlvType, LCMP_OPCODE_Type opcode) {
            this.tlvType = tlvType;
            this.opcode = opcode;
        }

        @Override
        public HGF_TLV_Type getFilterHGF_TLV_Type() {
            return tlvType;
        }

        @Override
        public LCMP_OPCODE_Type getFilterLCMP_OPCODE_Type() {
            return opcode;
        }
    }

    public static void main(String[] args) throws Exception {
        String adapter = args.length > 0 ? args[0] : "lcmp0";
        if (LCMPCommManager.initIDs() != 0) {
            System.err.println("initIDs failed");
            System.exit(1);
        }
        System.out.println("Adapters: " + Arrays.toString(LCMPSession.adapters()));
        try (LCMPSession session = LCMPSession.open(adapter)) {
            System.out.println("Session open on " + session.getAdapter() + " (500 ms per attempt, 3 attempts)");
            run();
        }
        System.out.println("Session closed");
    }

    private static void run() throws LCMPException, InterruptedException {
        System.out.println();
        System.out.println("1. Discover: a multicast read of parameter 0x01, every device answers");
        TreeMap<String, byte[]> found = new TreeMap<>();
        List<byte[]> addresses = new ArrayList<>();
        Listener discovery = new Listener(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF) {
            @Override
            public void LCMPCallBack(LCMPResponse response) {
                synchronized (found) {
                    HGF_PARAMETER_TLV p = (HGF_PARAMETER_TLV) response.getHGF_TLVs().get(0);
                    if (found.put(mac(response.getDeviceAddress()), p.getParameterValue()) == null) {
                        addresses.add(response.getDeviceAddress());
                    }
                }
            }
        };
        LCMPCommManager.LCMP_RegisterCallBack(discovery);
        LCMPResponse all = LCMPCommManager.LCMP_Read_Wrapper((byte) 1, (byte) 0, ids(1), MULTICAST);
        Thread.sleep(100);  // the receive thread's last deliveries
        LCMPCommManager.LCMP_UnRegisterCallBack(discovery);
        synchronized (found) {
            System.out.println("   " + all.getHGF_TLVs().size() + " answers, from " + found.size() + " devices:");
            for (String device : found.keySet()) {
                System.out.println("   " + device + "  parameter 0x01 = " + hex(found.get(device)));
            }
        }
        byte[] device = addresses.stream().min((a, b) -> mac(a).compareTo(mac(b))).orElse(null);
        if (device == null) {
            System.out.println("   no device answered");
            return;
        }

        System.out.println();
        System.out.println("2. Read parameters 0x04 and 0x07 of " + mac(device));
        print(LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, ids(4, 7), device));

        System.out.println();
        System.out.println("3. Subscribe to its notifications");
        CountDownLatch confirmed = new CountDownLatch(1);
        CountDownLatch notified = new CountDownLatch(1);
        List<String> notes = Collections.synchronizedList(new ArrayList<>());
        LCMPSession.setNotificationCallBack(new Listener(HGF_TLV_Type.HGF_NOTIFY, LCMP_OPCODE_Type.LCMP_NOTIFY_IND) {
            @Override
            public void LCMPCallBack(LCMPResponse response) {
                for (HGF_TLV tlv : response.getHGF_TLVs()) {
                    HGF_NOTIFY_TLV n = (HGF_NOTIFY_TLV) tlv;
                    notes.add("   notification from " + mac(response.getDeviceAddress()) + " on thread \""
                            + Thread.currentThread().getName() + "\": parameter " + hex(n.getNotifyType()) + " is now "
                            + hex(n.getNotifyValue()));
                }
                notified.countDown();
            }
        });
        ArrayList<HGF_NOTIFY_TLV> subscription = new ArrayList<>();
        subscription.add(new HGF_NOTIFY_TLV((byte) 7, new byte[0]));
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 0, (byte) 0, subscription, device, (byte) 0,
                new Listener(HGF_TLV_Type.HGF_NOTIFY_CONFIRM, LCMP_OPCODE_Type.LCMP_NOTIFY_RSP) {
                    @Override
                    public void LCMPCallBack(LCMPResponse response) {
                        notes.add("   notify response from " + mac(response.getDeviceAddress()) + ": subscribed");
                        confirmed.countDown();
                    }
                });
        System.out.println(confirmed.await(2, TimeUnit.SECONDS) ? notes.remove(0) : "   no notify response");

        System.out.println();
        System.out.println("4. Write parameter 0x07 = 01 02 03 04");
        ArrayList<HGF_PARAMETER_TLV> toWrite = new ArrayList<>();
        toWrite.add(new HGF_PARAMETER_TLV((byte) 7, new byte[] {1, 2, 3, 4}));
        LCMPResponse written = LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, toWrite, device);
        for (HGF_TLV tlv : written.getHGF_TLVs()) {
            for (byte[] ids : ((HGF_CONFIRM) tlv).getParameters()) {
                System.out.println("   " + tlv.getHGF_TLV_Type() + ", written IDs: " + hex(ids));
            }
        }
        System.out.println(notified.await(2, TimeUnit.SECONDS) ? notes.remove(0) : "   no notification");
        LCMPSession.setNotificationCallBack(null);

        System.out.println();
        System.out.println("5. Read it back");
        print(LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, ids(7), device));
    }

    private static ArrayList<HGF_READ_PARAMETER_TLV> ids(int... ids) {
        ArrayList<HGF_READ_PARAMETER_TLV> list = new ArrayList<>();
        for (int id : ids) list.add(new HGF_READ_PARAMETER_TLV((byte) id));
        return list;
    }

    private static void print(LCMPResponse response) {
        for (HGF_TLV tlv : response.getHGF_TLVs()) {
            HGF_PARAMETER_TLV p = (HGF_PARAMETER_TLV) tlv;
            System.out.println("   parameter " + hex(p.getParamterType()) + " = " + hex(p.getParameterValue()));
        }
    }

    private static String hex(byte b) {
        return String.format("0x%02X", b & 0xFF);
    }

    private static String hex(byte[] bytes) {
        StringBuilder s = new StringBuilder();
        for (byte b : bytes) s.append(s.length() == 0 ? "" : " ").append(String.format("%02X", b & 0xFF));
        return s.length() == 0 ? "(none)" : s.toString();
    }

    private static String mac(byte[] address) {
        StringBuilder s = new StringBuilder();
        for (byte b : address) s.append(s.length() == 0 ? "" : ":").append(String.format("%02X", b & 0xFF));
        return s.toString();
    }
}
