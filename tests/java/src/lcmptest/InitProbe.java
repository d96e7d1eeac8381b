package lcmptest;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPNativeLibrary;

/**
 * Runs initIDs in a fresh JVM and prints what it did, one fact a line, for
 * the test that runs it to compare: the versions before and after, the
 * library's initIDs (twice with the argument "twice") and the test copy's.
 * With the argument "loader" it prints only the library's initIDs and where
 * the host loaded the library from, or why it refused to.
 */
public final class InitProbe {
    private InitProbe() {}

    public static void main(String[] args) {
        if (args.length > 0 && args[0].equals("loader")) {
            try {
                System.out.println("lcmp initIDs: result=" + LCMPCommManager.initIDs());
                System.out.println("loaded from: " + LCMPNativeLibrary.source());
            } catch (UnsatisfiedLinkError e) {
                System.out.println("refused: " + e.getMessage());
            }
            return;
        }
        System.out.println("versions before initIDs: " + versions());
        System.out.println("lcmp initIDs: " + libraryInitIDs());
        if (args.length > 0 && args[0].equals("twice")) {
            System.out.println("lcmp initIDs again: " + libraryInitIDs());
        }
        System.out.println("copy initIDs: " + TestHooks.initIDs());
        System.out.println("versions after initIDs: " + versions());
    }

    private static String versions() {
        return LCMPCommManager.getVersion_LCMP_Driver_API_Wrapper() + " "
                + LCMPCommManager.getVersion_LCMP_Driver_Java_Wrapper();
    }

    private static String libraryInitIDs() {
        try {
            return "result=" + LCMPCommManager.initIDs();
        } catch (LinkageError e) {
            return "threw " + e.getClass().getName();
        }
    }
}
