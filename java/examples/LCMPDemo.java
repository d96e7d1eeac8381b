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
import java.util.ArrayList;

/**
 * A session with liblcmp through the reference host: bind the library, register a callback for
 * read confirmations, read three parameters, write two, send a control request, subscribe to
 * notifications, and unregister what was registered.
 *
 * <p>The library produces the confirmations of reads and writes itself (no frame leaves the
 * machine), so the demo needs no network adapter and no privileges.
 */
public final class LCMPDemo {
    private LCMPDemo() {}

    /** The device the requests are addressed to. */
    private static final byte[] DEVICE = {0x00, 0x13, (byte) 0xA7, 0x01, 0x02, 0x03};

    /** Prints every response of the kind and opcode it names. */
    private static final class Printer extends LCMPAbstractCallBack {
        private final String name;
        private final HGF_TLV_Type tlvType;
        private final LCMP_OPCODE_Type opcode;

        Printer(String name, HGF_TLV_Type tlvType, LCMP_OPCODE_Type opcode) {
            this.name = name;
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

        @Override
        public void LCMPCallBack(LCMPResponse response) {
            System.out.println("   [" + name + "] called on thread \"" + Thread.currentThread().getName() + "\" with "
                    + response.getHGF_TLVs().size() + " TLVs from " + mac(response.getDeviceAddress()));
        }

        @Override
        public String toString() {
            return name + " (" + tlvType + ", " + opcode + ")";
        }
    }

    public static void main(String[] args) throws LCMPException {
        int status = LCMPCommManager.initIDs();
        if (status != 0) {
            System.err.println("initIDs failed with " + status);
            System.exit(1);
        }
        System.out.println("LCMP driver API wrapper version:  "
                + LCMPCommManager.getVersion_LCMP_Driver_API_Wrapper());
        System.out.println("LCMP driver Java wrapper version: "
                + LCMPCommManager.getVersion_LCMP_Driver_Java_Wrapper());
        System.out.println("Device: " + mac(DEVICE));

        System.out.println();
        System.out.println("1. Register a callback for read confirmations");
        Printer reads = new Printer("read callback", HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF);
        System.out.println("   registered " + reads + ": " + LCMPCommManager.LCMP_RegisterCallBack(reads));

        System.out.println();
        System.out.println("2. Read parameters 0x05, 0x06 and 0x07");
        ArrayList<HGF_READ_PARAMETER_TLV> toRead = new ArrayList<>();
        for (int id = 5; id <= 7; id++) {
            toRead.add(new HGF_READ_PARAMETER_TLV((byte) id));
        }
        LCMPResponse read = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, toRead, DEVICE);
        for (HGF_TLV tlv : read.getHGF_TLVs()) {
            HGF_PARAMETER_TLV p = (HGF_PARAMETER_TLV) tlv;
            System.out.println("   parameter " + hex(p.getParamterType()) + " = " + hex(p.getParameterValue()));
        }

        System.out.println();
        System.out.println("3. Write parameters 0x07 and 0x09");
        ArrayList<HGF_PARAMETER_TLV> toWrite = new ArrayList<>();
        toWrite.add(new HGF_PARAMETER_TLV((byte) 7, new byte[] {0x01, 0x00}));
        toWrite.add(new HGF_PARAMETER_TLV((byte) 9, "home".getBytes(java.nio.charset.StandardCharsets.US_ASCII)));
        LCMPResponse written = LCMPCommManager.LCMP_Write_Wrapper((byte) 0, (byte) 0, toWrite, DEVICE);
        for (HGF_TLV tlv : written.getHGF_TLVs()) {
            HGF_CONFIRM c = (HGF_CONFIRM) tlv;
            for (byte[] ids : c.getParameters()) {
                System.out.println("   " + c.getHGF_TLV_Type() + ", written IDs: " + hex(ids));
            }
        }

        System.out.println();
        System.out.println("4. Control parameter 0x20");
        ArrayList<HGF_PARAMETER_TLV> toControl = new ArrayList<>();
        toControl.add(new HGF_PARAMETER_TLV((byte) 0x20, new byte[] {0x01}));
        try {
            LCMPCommManager.LCMP_Control_Wrapper((byte) 0, (byte) 0, toControl, DEVICE);
            System.out.println("   control confirmed");
        } catch (LCMPException e) {
            System.out.println("   " + e.getClass().getSimpleName() + ": " + e.getMessage());
            System.out.println("   (the library produces no control confirmation, so this timeout is the answer)");
        }

        System.out.println();
        System.out.println("5. Subscribe to notifications of type 0x03 from every device (multicast)");
        Printer confirmations = new Printer("notify confirmation callback", HGF_TLV_Type.HGF_NOTIFY_CONFIRM,
                LCMP_OPCODE_Type.LCMP_NOTIFY_RSP);
        ArrayList<HGF_NOTIFY_TLV> notifications = new ArrayList<>();
        notifications.add(new HGF_NOTIFY_TLV((byte) 3, new byte[] {0x00, 0x00, 0x00, 0x3C}));
        LCMPCommManager.LCMP_Notify_Wrapper((byte) 1, (byte) 0, notifications, DEVICE, (byte) 0, confirmations);
        System.out.println("   subscribed; " + confirmations + " is registered as a one-shot callback");
        System.out.println("   (it is called on the receive thread when a notify confirmation arrives, which needs an"
                + " adapter session)");
        System.out.println("   registered callbacks: " + LCMPCommManager.getRegisteredCallBacks());

        System.out.println();
        System.out.println("6. Unregister the callbacks");
        for (LCMPAbstractCallBack callBack : LCMPCommManager.getRegisteredCallBacks()) {
            System.out.println("   unregistered " + callBack + ": " + LCMPCommManager.LCMP_UnRegisterCallBack(callBack));
        }
        System.out.println("   a read now calls nobody:");
        LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, toRead, DEVICE);
        System.out.println("   done");
    }

    private static String hex(byte b) {
        return String.format("0x%02X", b & 0xFF);
    }

    private static String hex(byte[] bytes) {
        StringBuilder s = new StringBuilder();
        for (byte b : bytes) {
            s.append(s.length() == 0 ? "" : " ").append(String.format("%02X", b & 0xFF));
        }
        return s.length() == 0 ? "(none)" : s.toString();
    }

    private static String mac(byte[] address) {
        StringBuilder s = new StringBuilder();
        for (byte b : address) {
            s.append(s.length() == 0 ? "" : ":").append(String.format("%02X", b & 0xFF));
        }
        return s.toString();
    }
}
