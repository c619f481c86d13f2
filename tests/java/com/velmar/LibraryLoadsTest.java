package com.velmar;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.velmar.vfs.JniStream;
import org.junit.jupiter.api.Test;

class LibraryLoadsTest {
    @Test
    void theLibraryLoadsAndAnswersACall() {
        JniStream stream = new JniStream();
        assertEquals(-1, stream.flushNative(0));
        assertEquals(0, stream.flushNative(1));
    }
}
