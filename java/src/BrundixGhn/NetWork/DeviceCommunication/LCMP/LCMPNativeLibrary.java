package BrundixGhn.NetWork.DeviceCommunication.LCMP;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Locale;
import java.util.Set;

/**
 * Loads the native library (liblcmp) once per JVM for {@link LCMPCommManager} and
 * {@link LCMPSession}, from the first of:
 * <ol>
 *   <li>the file named by the system property {@code lcmp.library.path};
 *   <li>{@code System.loadLibrary("lcmp")}: a library installed where the JVM looks
 *       ({@code java.library.path}; the Debian package liblcmp1 links it into
 *       {@code /usr/lib/<triplet>/jni});
 *   <li>the library this jar carries for the platform ({@code linux-x86_64/liblcmp.so},
 *       {@code windows-x86_64/lcmp.dll}), copied once into a per-user cache folder named after the
 *       library's SHA-256 ({@code $XDG_CACHE_HOME/lcmp} or {@code ~/.cache/lcmp} on Linux,
 *       {@code %LOCALAPPDATA%\lcmp} on Windows; the system property {@code lcmp.cache.dir} names
 *       another) and loaded from there. The folders are made readable by their owner only; the
 *       file is written under a temporary name and renamed, so that JVMs starting at once never load
 *       a half-written file, and a cached copy whose hash differs is replaced.
 * </ol>
 * With the system property {@code lcmp.library.debug=true} the loader prints the source it used to
 * the standard error; {@link #source()} tells it too.
 */
public final class LCMPNativeLibrary {
    /** The system property naming the library's file, which then is loaded and nothing else. */
    public static final String PATH_PROPERTY = "lcmp.library.path";
    /** The system property naming the folder the bundled library is cached in. */
    public static final String CACHE_PROPERTY = "lcmp.cache.dir";
    /** The system property that makes the loader print the source it used. */
    public static final String DEBUG_PROPERTY = "lcmp.library.debug";

    private static String source;

    private LCMPNativeLibrary() {}

    /**
     * Where the library was loaded from: "property PATH", "installed (java.library.path)" or
     * "bundled PATH" (the cached copy); null before it was loaded.
     */
    public static synchronized String source() {
        return source;
    }

    /** Loads the library unless this class did already. */
    static synchronized void load() {
        if (source != null) {
            return;
        }
        String explicit = System.getProperty(PATH_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            String path = new File(explicit).getAbsolutePath();
            System.load(path);
            loaded("property " + path);
            return;
        }
        UnsatisfiedLinkError installed;
        try {
            System.loadLibrary("lcmp");
            loaded("installed (java.library.path)");
            return;
        } catch (UnsatisfiedLinkError e) {
            installed = e;
        }
        String platform = platform();
        String name = System.mapLibraryName("lcmp");
        byte[] content;
        try (InputStream in = LCMPNativeLibrary.class.getResourceAsStream("/" + platform + "/" + name)) {
            content = in == null ? null : readAll(in);
        } catch (IOException e) {
            throw linkError("cannot read the bundled library " + platform + "/" + name + ": " + e, e);
        }
        if (content == null) {
            throw linkError("this jar carries no native library for the platform " + platform + " (it carries "
                    + "linux-x86_64 and, when built with it, windows-x86_64), and none is installed: "
                    + installed.getMessage(), installed);
        }
        Path file;
        try {
            file = cached(content, name);
        } catch (IOException | SecurityException e) {
            throw linkError("cannot place the bundled library for " + platform + " in the cache folder: " + e, e);
        }
        System.load(file.toString());
        loaded("bundled " + file);
    }

    private static void loaded(String from) {
        source = from;
        if (Boolean.getBoolean(DEBUG_PROPERTY)) {
            System.err.println("lcmp: native library loaded from " + from);
        }
    }

    private static UnsatisfiedLinkError linkError(String reason, Throwable cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("liblcmp: " + reason + ". Set the system property "
                + PATH_PROPERTY + " to the library's file, or install it where the JVM looks (java.library.path="
                + System.getProperty("java.library.path") + "; the Debian package liblcmp1 does, or "
                + "-Djava.library.path=DIR naming the folder of a built liblcmp).");
        error.initCause(cause);
        return error;
    }

    /** The platform's folder in the jar: os-arch, e.g. linux-x86_64. */
    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        if (os.startsWith("windows")) {
            os = "windows";
        } else if (os.startsWith("linux")) {
            os = "linux";
        } else {
            os = os.replaceAll("[^a-z0-9]", "");
        }
        if (arch.equals("amd64") || arch.equals("x86_64")) {
            arch = "x86_64";
        }
        return os + "-" + arch;
    }

    /** The cached copy of {@code content}, written there unless a copy with its hash is there already. */
    private static Path cached(byte[] content, String name) throws IOException {
        String hash = sha256(content);
        Path root = cacheRoot();
        Path folder = root.resolve(hash);
        ownerOnlyFolder(root);
        ownerOnlyFolder(folder);
        Path file = folder.resolve(name);
        if (Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS) && hash.equals(sha256(Files.readAllBytes(file)))) {
            return file;
        }
        Path temporary = Files.createTempFile(folder, name, ".part");
        try {
            try (OutputStream out = Files.newOutputStream(temporary)) {
                out.write(content);
            }
            try {
                Files.move(temporary, file, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(temporary, file, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows: another JVM holds the file loaded; use it if it is whole.
                if (!(Files.isRegularFile(file) && hash.equals(sha256(Files.readAllBytes(file))))) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(temporary);
        }
        return file;
    }

    private static Path cacheRoot() {
        String configured = System.getProperty(CACHE_PROPERTY);
        if (configured != null && !configured.isEmpty()) {
            return Paths.get(configured).toAbsolutePath();
        }
        String localAppData = System.getenv("LOCALAPPDATA");
        if (platform().startsWith("windows") && localAppData != null && !localAppData.isEmpty()) {
            return Paths.get(localAppData, "lcmp");
        }
        String xdg = System.getenv("XDG_CACHE_HOME");
        if (xdg != null && new File(xdg).isAbsolute()) {
            return Paths.get(xdg, "lcmp");
        }
        return Paths.get(System.getProperty("user.home"), ".cache", "lcmp");
    }

    /**
     * Makes {@code folder} (and what is missing above it) accessible to its owner only, and refuses a
     * folder another user owns or may write to: a library planted there would run in this JVM.
     */
    private static void ownerOnlyFolder(Path folder) throws IOException {
        boolean posix = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
        if (!posix) {
            Files.createDirectories(folder);  // under the user's own profile folder
            return;
        }
        Set<PosixFilePermission> ownerOnly = PosixFilePermissions.fromString("rwx------");
        if (!Files.isDirectory(folder, LinkOption.NOFOLLOW_LINKS)) {
            Files.createDirectories(folder.getParent());
            try {
                Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(ownerOnly));
            } catch (java.nio.file.FileAlreadyExistsException e) {
                // made by another JVM meanwhile: checked below as any other
            }
        }
        UserPrincipal me = FileSystems.getDefault().getUserPrincipalLookupService()
                .lookupPrincipalByName(System.getProperty("user.name"));
        if (!Files.isDirectory(folder, LinkOption.NOFOLLOW_LINKS)
                || !Files.getOwner(folder, LinkOption.NOFOLLOW_LINKS).equals(me)) {
            throw new IOException(folder + " is not a folder of the user " + me.getName());
        }
        Set<PosixFilePermission> present = Files.getPosixFilePermissions(folder, LinkOption.NOFOLLOW_LINKS);
        if (present.contains(PosixFilePermission.GROUP_WRITE) || present.contains(PosixFilePermission.OTHERS_WRITE)) {
            throw new IOException(folder + " may be written by other users");
        }
    }

    private static String sha256(byte[] content) {
        try {
            StringBuilder hex = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(content)) {
                hex.append(String.format("%02x", b & 0xFF));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);  // every Java platform has SHA-256
        }
    }

    private static byte[] readAll(InputStream in) throws IOException {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        byte[] buffer = new byte[65536];
        for (int n; (n = in.read(buffer)) > 0;) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }
}
