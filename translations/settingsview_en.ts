<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>SettingsView</name>
    <message>
        <source>Start Tandrel automatically when your Mac boots.</source>
        <translation>Start Tandrel automatically when you log in.</translation>
    </message>
</context>
</TS>
