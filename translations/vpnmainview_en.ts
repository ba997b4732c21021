<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>VPNMainView</name>
    <message>
        <source>Platform: macOS</source>
        <translation>Platform: Linux</translation>
    </message>
</context>
</TS>
