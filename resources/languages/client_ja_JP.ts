<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>消去エラー！</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>更新エラー！</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>更新に成功しました</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>無効なファイル</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>無効なファイル</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>消去エラー！</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>更新エラー！</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>更新に成功しました</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>エラー（MD5）</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>無効なファイル</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>無効なファイル</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>無効なファイル</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>無効なファイル</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>データバックアップエラー！</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>消去エラー！</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>データ復元エラー！</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>書き込み検証エラー！</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>書き込みエラー！</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>ファームウェアがありません！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>アダプターの設定を読み取れませんでした！</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>ファームウェアがアダプターに対して大きすぎます！</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>バックアップファイルが空か、読み取れません！</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>先にアダプターをファームウェア 5.5.0 以降に更新してください！</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>バックアップファイルのデータが破損しています！</translation>
    </message>
</context>
</TS>
