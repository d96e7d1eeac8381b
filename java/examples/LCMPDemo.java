import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;

/** Loads liblcmp through the reference host, binds it and prints its versions. */
public final class LCMPDemo {
    private LCMPDemo() {}

    public static void main(String[] args) {
        int status = LCMPCommManager.initIDs();
        if (status != 0) {
            System.err.println("initIDs failed with " + status);
            System.exit(1);
        }
        System.out.println("LCMP driver API wrapper version:  "
                + LCMPCommManager.getVersion_LCMP_Driver_API_Wrapper());
        System.out.println("LCMP driver Java wrapper version: "
                + LCMPCommManager.getVersion_LCMP_Driver_Java_Wrapper());
    }
}
