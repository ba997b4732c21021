<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>RedeemCodeView</name>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
    <message>
        <source>Redeem a Subscription Code</source>
        <translation>Canjear un código de suscripción</translation>
    </message>
    <message>
        <source>Enter your code</source>
        <translation>Introduce tu código</translation>
    </message>
    <message>
        <source>Redeem Code</source>
        <translation>Canjear código</translation>
    </message>
</context>
</TS>
