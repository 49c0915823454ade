<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Vesk::TOAPage</name>
    <message>
        <source>TOA_TITLE</source>
        <translation>Terms of use</translation>
    </message>
    <message>
        <source>TOA_DESCRIPTION</source>
        <translation>How Vesk works, and what that means for your privacy. Please read it before you go on.</translation>
    </message>
    <message>
        <source>TOA_TEXT</source>
        <translation>&lt;h3&gt;Vesk terms of use&lt;/h3&gt;
&lt;p&gt;Vesk lets the computers on one local network chat and exchange files directly with each other. There is no server and no account: every computer that runs Vesk announces itself to the whole network.&lt;/p&gt;
&lt;p&gt;&lt;b&gt;Please know this before you go on:&lt;/b&gt;&lt;/p&gt;
&lt;ul&gt;
&lt;li&gt;&lt;b&gt;Encrypted only between current versions.&lt;/b&gt; Messages, file names and file contents between two computers that run this version of Vesk (or a later one) are encrypted; a lock beside a name shows it. With older versions of Vesk nothing is encrypted: anyone who can watch the network can read what you exchange with them.&lt;/li&gt;
&lt;li&gt;&lt;b&gt;Everyone on the network can see you.&lt;/b&gt; Vesk broadcasts your name, an id for this computer and its operating system to every device on the local network. Any of them can send you messages and offer you files.&lt;/li&gt;
&lt;li&gt;&lt;b&gt;Names are not verified at first.&lt;/b&gt; Vesk remembers each computer's security key and warns you when it changes, but it cannot prove who is behind a name the first time: compare the security code in a person's menu with theirs. Open a received file only when you trust its sender.&lt;/li&gt;
&lt;li&gt;&lt;b&gt;Use Vesk only on networks you trust&lt;/b&gt;, such as your home or office network; not on public networks in cafés, hotels or airports.&lt;/li&gt;
&lt;li&gt;Vesk sends only the files you choose to offer, and only to the people you pick. Your messages and received files are kept on this computer.&lt;/li&gt;
&lt;li&gt;You are responsible for the files you share and for having the right to share them.&lt;/li&gt;
&lt;/ul&gt;
&lt;p&gt;&lt;b&gt;No warranty.&lt;/b&gt; Vesk is provided "as is", without warranty of any kind. Its authors are not liable for any damage, lost data or disclosed information that comes from using it.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>By clicking... you accept the TOA</source>
        <translation>I have read and accept these terms of use</translation>
    </message>
</context>
<context>
    <name>Vesk::InAppProfilePage</name>
    <message>
        <source>Vesk: Profile update</source>
        <translation>Your profile</translation>
    </message>
    <message>
        <source>Below, you&apos;ll be able to change how you appear to others in your local network</source>
        <translation>Change the name and picture that others on your network see.</translation>
    </message>
</context>
<context>
    <name>Vesk::ProfileForm</name>
    <message>
        <source>Your Full Name</source>
        <translation>Your name</translation>
    </message>
    <message>
        <source>Enter your full name here</source>
        <translation>The name others will see</translation>
    </message>
    <message>
        <source>Choose new picture...</source>
        <translation>Choose a new picture...</translation>
    </message>
    <message>
        <source>Choose new picture...</source>
        <comment>first setup, no picture yet</comment>
        <translation>Choose a picture...</translation>
    </message>
    <message>
        <source>Choose your avatar</source>
        <translation>Choose your picture</translation>
    </message>
    <message>
        <source>Images (*.png *.xpm *.jpg)</source>
        <translation>Images (*.png *.jpg *.jpeg *.webp *.gif *.xpm)</translation>
    </message>
</context>
<context>
    <name>Vesk::VeskProfileWizard</name>
    <message>
        <source>Vesk: Change Profile</source>
        <translation>Vesk: Your profile</translation>
    </message>
</context>
<context>
    <name>Vesk::FirstRunWizard</name>
    <message>
        <source>Vesk: First Run Wizard</source>
        <translation>Set up Vesk</translation>
    </message>
</context>
<context>
    <name>Vesk::TrayMenu</name>
    <message>
        <source>Exit</source>
        <translation>Quit</translation>
    </message>
</context>
<context>
    <name>Vesk::NotificationDialog</name>
    <message>
        <source>Download All</source>
        <translation>Download all</translation>
    </message>
</context>
<context>
    <name>Vesk::ProfilePage</name>
    <message>
        <source>Vesk: Profile update</source>
        <translation>How others will see you</translation>
    </message>
    <message>
        <source>Vesk permits you to share and chat with other devices in your local network. Below, you&apos;ll be able to change how you appear to others in your local network</source>
        <translation>Everyone running Vesk on your network will see this name and picture next to your messages and files. To change them later, click your picture at the top of Vesk&apos;s window.</translation>
    </message>
</context>
<context>
    <name>Vesk::CompletionPage</name>
    <message>
        <source>Vesk</source>
        <translation>All set</translation>
    </message>
    <message>
        <source>You&apos;re awesome</source>
        <translation>Vesk is ready.</translation>
    </message>
    <message>
        <source>Congrats. You can now start using Vesk.</source>
        <translation>It lives in the system tray and finds the others on your network by itself. Pick someone on the People tab to chat, or drop files on the window to send them.</translation>
    </message>
</context>
<context>
    <name>Vesk::DownloadEngine</name>
    <message>
        <source>File Downloaded : &lt;br&gt; &lt;b&gt;%1&lt;/b&gt;&lt;br&gt;</source>
        <translation>File received:&lt;br&gt;&lt;b&gt;%1&lt;/b&gt;&lt;br&gt;</translation>
    </message>
    <message>
        <source>Folder Downloaded : &lt;br&gt; &lt;b&gt;%1&lt;/b&gt;&lt;br&gt;</source>
        <translation>Folder received:&lt;br&gt;&lt;b&gt;%1&lt;/b&gt;&lt;br&gt;</translation>
    </message>
</context>
<context>
    <name>Vesk::Globals</name>
    <message>
        <source>Do you really want to block this user</source>
        <translation>Do you really want to block %1? You will no longer see their messages or files.</translation>
    </message>
    <message>
        <source>Block this user</source>
        <translation>Block this person</translation>
    </message>
    <message>
        <source>Clear Pending Uploads</source>
        <translation>Stop sending</translation>
    </message>
    <message>
        <source>Do you really want to clear all pending uploadings ?</source>
        <translation>Stop offering every file in the Sending list? Anyone who has not downloaded them yet will no longer be able to.</translation>
    </message>
    <message>
        <source>Clear Pending Downloads</source>
        <translation>Clear transfers</translation>
    </message>
    <message>
        <source>Do you really want to clear all pending Downloads ?</source>
        <translation>Clear every file offered to you and the list of files you have received? Files already saved stay in the folder they were saved to.</translation>
    </message>
    <message>
        <source>select a file</source>
        <translation>Choose files to send</translation>
    </message>
</context>
<context>
    <name>Vesk::IncomingOffers</name>
    <message>
        <source>I have sent you a file called : &lt;br&gt; &lt;b&gt;%1&lt;/b&gt;&lt;br&gt;Please download it using Vesk.</source>
        <translation>A file is offered to you:&lt;br&gt;&lt;b&gt;%1&lt;/b&gt;&lt;br&gt;Download it on the Transfers tab.</translation>
    </message>
    <message numerus="yes">
        <source>%1 offers the folder &lt;b&gt;%2&lt;/b&gt; (%n files, %3)</source>
        <translation>
            <numerusform>%1 offers the folder &lt;b&gt;%2&lt;/b&gt; (%n file, %3)</numerusform>
            <numerusform>%1 offers the folder &lt;b&gt;%2&lt;/b&gt; (%n files, %3)</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>Vesk::OfferBurst</name>
    <message numerus="yes">
        <source>%n files, %1</source>
        <translation>
            <numerusform>%n file, %1</numerusform>
            <numerusform>%n files, %1</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>Vesk::VeskQMLViewer</name>
    <message>
        <source>If you close Vesk, your peers WILL NOT be able to chat with you or transfer files with you.</source>
        <translation>If you close Vesk, the people on your network will not be able to chat with you or exchange files with you.</translation>
    </message>
    <message>
        <source>Vesk is meant to be run as an always-on service. It uses minimum CPU and memory when idle. It is adviced to leave Vesk on so that other devices around you can contact you.</source>
        <translation>Vesk is meant to keep running in the background. While idle it uses very little processor time and memory. Leave it running so that the other devices around you can reach you.</translation>
    </message>
</context>
</TS>
